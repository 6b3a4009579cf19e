// Failures that say nothing about the file or folder at hand, only that the
// process ran out of memory or descriptors. The scan drops what it cannot
// read, but dropping a file for one of these would report a shorter listing
// as a success, so they end the scan instead.
#pragma once

#include <cerrno>
#include <new>

namespace brightloom {

// Carries the error number of a descriptor shortage out of the walk or a
// worker; the scan turns it into its "(os error)" failure.
struct DescriptorsExhausted {
    int error_number;
};

// Throws std::bad_alloc for ENOMEM, DescriptorsExhausted for EMFILE and
// ENFILE; returns for every other error number.
inline void throw_if_exhausted(int error_number) {
    if (error_number == ENOMEM) throw std::bad_alloc();
    if (error_number == EMFILE || error_number == ENFILE) throw DescriptorsExhausted{error_number};
}

}  // namespace brightloom
