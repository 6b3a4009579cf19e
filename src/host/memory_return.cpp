#include "memory_return.h"

#include <malloc.h>

namespace brightloom {

MemoryReturn::~MemoryReturn() {
    if (big_) malloc_trim(0);
}

}  // namespace brightloom
