#include <vector>

namespace engine {

template <typename T>
class Pool : public Base {
public:
    Pool();
    void reset();
    int size_ = 0;
};

void Pool::reset() {
    auto item = new Item(); // not_called()
    std::sort(items.begin(), items.end());
}

using Handle = int;
}
