// Command line: the operation word and up to 22 parameters of any text, through the program's
// run sequence without the UART open: "%d" of word 1 into the operation number, then
// run_operation. The UART is the write end of a pipe; whatever an operation sends must be a
// sequence of well-formed command frames.
//
// Input: the words, each ended by a zero byte (the last one's is optional); an empty input is
// a command line without an operation word. Words past the 23rd are dropped.
//
// Not run: operation 18 (it never returns) and operation 16 with fewer than four parameters
// (its usage lines end the process with exit(0)).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "driver/operations.h"
#include "fuzz/fuzz_support.h"
#include "protocol/codes.h"
#include "protocol/frame.h"

namespace {

constexpr size_t MAX_WORDS = 23; // the operation word and 22 parameters
constexpr size_t RS485_SEND_SIZE = 133;
constexpr size_t RELAY_MULTI_SIZE = 25;
constexpr int OP_SOFT_TEST = 9;
constexpr size_t SOFT_TEST_SIZE = 5;

// The UART: a pipe, both ends non-blocking, made once per process; [0] reads, [1] writes.
const int* uart_pipe()
{
    static int ends[2] = {-1, -1};
    static const bool made = pipe2(ends, O_NONBLOCK) == 0;
    if (!made) {
        fuzz_fail("pipe");
    }
    return ends;
}

std::vector<uint8_t> drain(int fd)
{
    std::vector<uint8_t> sent;
    uint8_t chunk[4096];
    ssize_t n = 0;
    while ((n = read(fd, chunk, sizeof(chunk))) > 0) {
        sent.insert(sent.end(), chunk, chunk + n);
    }
    return sent;
}

// AA, L, L bytes whose second-to-last is the 8-bit sum of the L-2 bytes from the code byte and
// whose last is BB; the RS485 text and the relay multi-control go out zero-padded to their
// fixed sizes; the soft test (operation 9 only) is AA AA AA AA AA.
void check_frames(const std::vector<uint8_t>& sent, int op)
{
    for (size_t pos = 0; pos < sent.size();) {
        const uint8_t* f = sent.data() + pos;
        const size_t left = sent.size() - pos;
        if (f[0] != FRAME_START) {
            fuzz_fail("a transmission does not begin with 0xAA");
        }
        // Its length byte 0xAA announces 170 bytes that never come: the soft test by design.
        if (op == OP_SOFT_TEST && left >= SOFT_TEST_SIZE &&
            std::all_of(f, f + SOFT_TEST_SIZE, [](uint8_t b) { return b == FRAME_START; })) {
            pos += SOFT_TEST_SIZE;
            continue;
        }
        if (left < 2) {
            fuzz_fail("a frame ends after its start byte");
        }
        const size_t len = f[1];
        if (len < 3) {
            fuzz_fail("a command frame shorter than code, checksum and end byte");
        }
        if (left < len + 2) {
            fuzz_fail("a frame ends before its length byte says");
        }
        if (f[len] != static_cast<uint8_t>(std::accumulate(f + 2, f + len, 0))) {
            fuzz_fail("wrong checksum byte");
        }
        if (f[len + 1] != FRAME_END) {
            fuzz_fail("the frame's last byte is not 0xBB");
        }

        size_t transmission = len + 2;
        if (f[2] == CODE_RS485_SEND || f[2] == CODE_RELAY_MULTI) {
            transmission = f[2] == CODE_RS485_SEND ? RS485_SEND_SIZE : RELAY_MULTI_SIZE;
            if (len + 2 > transmission) {
                fuzz_fail("a fixed-size transmission's frame is larger than its buffer");
            }
            if (left < transmission) {
                fuzz_fail("a fixed-size transmission is short");
            }
            if (std::any_of(f + len + 2, f + transmission, [](uint8_t b) { return b != 0; })) {
                fuzz_fail("a fixed-size transmission is padded with other than zeros");
            }
        }
        pos += transmission;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    quiet_stdout();
    const int* uart = uart_pipe();

    // Every word in its own block of exactly its length + 1, argv exactly argc + 1 entries.
    std::vector<std::unique_ptr<char[]>> words;
    static const char program[] = "mcu_test";
    words.push_back(std::unique_ptr<char[]>(new char[sizeof(program)]));
    memcpy(words.back().get(), program, sizeof(program));
    for (size_t pos = 0; pos < size && words.size() < MAX_WORDS + 1;) {
        const auto* end = static_cast<const uint8_t*>(memchr(data + pos, 0, size - pos));
        const size_t len = end != nullptr ? static_cast<size_t>(end - (data + pos)) : size - pos;
        words.push_back(std::unique_ptr<char[]>(new char[len + 1]));
        memcpy(words.back().get(), data + pos, len);
        words.back()[len] = '\0';
        pos += len + 1;
    }
    const int argc = static_cast<int>(words.size());
    const std::unique_ptr<char*[]> argv(new char*[words.size() + 1]);
    for (size_t i = 0; i < words.size(); i++) {
        argv[i] = words[i].get();
    }
    argv[words.size()] = nullptr;

    // The entry's scan of the operation number.
    int op = 0;
    if (argc >= 2) {
        sscanf(argv[1], "%d", &op);
    }
    if (op == 18 || (op == 16 && argc < 6)) {
        return 0;
    }

    run_operation(uart[1], op, argc, argv.get());
    fflush(stdout);

    const std::vector<uint8_t> sent = drain(uart[0]);
    if ((op < 0 || op >= OPERATION_COUNT) && !sent.empty()) {
        fuzz_fail("an unknown operation number sent something");
    }
    check_frames(sent, op);
    return 0;
}
