// Helpers shared by the fuzz targets (not part of the tool).
//
//   fuzz_fail     report a broken invariant on stderr and abort, so libFuzzer keeps the input
//   quiet_stdout  send the tool's standard output to /dev/null, once per process
//   exact_copy    a heap copy of exactly size bytes, so ASan catches a read past its end
//   fenced_piece  a small static buffer whose bytes past the piece are poisoned under ASan
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__SANITIZE_ADDRESS__)
#define MCU_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MCU_FUZZ_ASAN 1
#endif
#endif

#ifdef MCU_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#endif

[[noreturn]] inline void fuzz_fail(const char* what)
{
    fprintf(stderr, "fuzz invariant broken: %s\n", what);
    abort();
}

inline void quiet_stdout()
{
    static const bool done = freopen("/dev/null", "w", stdout) != nullptr;
    if (!done) {
        fuzz_fail("cannot redirect stdout to /dev/null");
    }
}

// new[] of exactly size bytes (size 0 included): any access past it is a heap overflow.
inline std::unique_ptr<uint8_t[]> exact_copy(const uint8_t* data, size_t size)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
    std::copy_n(data, size, copy.get());
    return copy;
}

// Holds one piece of at most 8 bytes. Under ASan the bytes after the piece are poisoned, so a
// callee that reads past the count it was given is caught without an allocation per piece.
class fenced_piece {
  public:
    static constexpr size_t CAPACITY = 8;

    const uint8_t* put(const uint8_t* piece, size_t count)
    {
#ifdef MCU_FUZZ_ASAN
        ASAN_UNPOISON_MEMORY_REGION(buf_, CAPACITY);
#endif
        memcpy(buf_, piece, count);
#ifdef MCU_FUZZ_ASAN
        ASAN_POISON_MEMORY_REGION(buf_ + count, CAPACITY - count);
#endif
        return buf_;
    }

  private:
    alignas(CAPACITY) uint8_t buf_[CAPACITY] = {};
};
