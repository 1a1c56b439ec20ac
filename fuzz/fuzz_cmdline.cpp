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

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
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

struct uart_pipe {
    int read_end = -1;
    int write_end = -1;
};

const uart_pipe& the_pipe()
{
    static const uart_pipe p = [] {
        int fds[2];
        if (pipe(fds) != 0) {
            fuzz_fail("pipe");
        }
        for (int fd : fds) {
            if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
                fuzz_fail("O_NONBLOCK on the pipe");
            }
        }
        return uart_pipe{fds[0], fds[1]};
    }();
    return p;
}

std::vector<uint8_t> drain(int fd)
{
    std::vector<uint8_t> sent;
    uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n <= 0) {
            break;
        }
        sent.insert(sent.end(), chunk, chunk + n);
    }
    return sent;
}

bool all_zero(const std::vector<uint8_t>& bytes, size_t from, size_t to)
{
    for (size_t i = from; i < to; i++) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// AA, L, L bytes whose second-to-last is the 8-bit sum of the L-2 bytes from the code byte and
// whose last is BB; the RS485 text and the relay multi-control go out zero-padded to their
// fixed sizes; the soft test (operation 9 only) is AA AA AA AA AA.
void check_frames(const std::vector<uint8_t>& sent, int op)
{
    size_t pos = 0;
    while (pos < sent.size()) {
        const size_t left = sent.size() - pos;
        if (sent[pos] != FRAME_START) {
            fuzz_fail("a transmission does not begin with 0xAA");
        }
        // Its length byte 0xAA announces 170 bytes that never come: the soft test by design.
        if (op == OP_SOFT_TEST && left >= SOFT_TEST_SIZE && sent[pos + 1] == FRAME_START &&
            sent[pos + 2] == FRAME_START && sent[pos + 3] == FRAME_START &&
            sent[pos + 4] == FRAME_START) {
            pos += SOFT_TEST_SIZE;
            continue;
        }
        if (left < 2) {
            fuzz_fail("a frame ends after its start byte");
        }
        const size_t len = sent[pos + 1];
        if (len < 3) {
            fuzz_fail("a command frame shorter than code, checksum and end byte");
        }
        if (left < len + 2) {
            fuzz_fail("a frame ends before its length byte says");
        }
        uint8_t sum = 0;
        for (size_t i = 0; i < len - 2; i++) {
            sum = static_cast<uint8_t>(sum + sent[pos + 2 + i]);
        }
        if (sent[pos + len] != sum) {
            fuzz_fail("wrong checksum byte");
        }
        if (sent[pos + len + 1] != FRAME_END) {
            fuzz_fail("the frame's last byte is not 0xBB");
        }

        size_t transmission = len + 2;
        const uint8_t code = sent[pos + 2];
        if (code == CODE_RS485_SEND || code == CODE_RELAY_MULTI) {
            transmission = code == CODE_RS485_SEND ? RS485_SEND_SIZE : RELAY_MULTI_SIZE;
            if (len + 2 > transmission) {
                fuzz_fail("a fixed-size transmission's frame is larger than its buffer");
            }
            if (left < transmission) {
                fuzz_fail("a fixed-size transmission is short");
            }
            if (!all_zero(sent, pos + len + 2, pos + transmission)) {
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
    const uart_pipe& uart = the_pipe();

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

    run_operation(uart.write_end, op, argc, argv.get());
    fflush(stdout);

    const std::vector<uint8_t> sent = drain(uart.read_end);
    if ((op < 0 || op >= OPERATION_COUNT) && !sent.empty()) {
        fuzz_fail("an unknown operation number sent something");
    }
    check_frames(sent, op);
    return 0;
}
