// Hands freed memory back to the system after a big request.
//
// A big text's tree and reply take tens of megabytes, which malloc keeps in
// the process once freed; a parse worker that met one big file would stay
// that big to the end. Declared before the request's data, so that its end
// comes after theirs:
//
//   const MemoryReturn memory_return(payload_size);
//   ... read, run, write the reply ...
#pragma once

#include <cstddef>

namespace brightloom {

// Payloads from this size on are big: their trees reach tens of megabytes,
// while returning memory costs well under a millisecond.
inline constexpr std::size_t MEMORY_RETURN_PAYLOAD_BYTES = 256 * 1024;

class MemoryReturn {
public:
    explicit MemoryReturn(std::size_t payload_bytes) : big_(payload_bytes >= MEMORY_RETURN_PAYLOAD_BYTES) {}
    ~MemoryReturn();
    MemoryReturn(const MemoryReturn&) = delete;
    MemoryReturn& operator=(const MemoryReturn&) = delete;

private:
    bool big_;
};

}  // namespace brightloom
