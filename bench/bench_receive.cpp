// Receive-path benchmarks: the frame assembler alone, and the whole path per piece (echo,
// assembly, checksum, dispatch, handler output) with standard output on /dev/null.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "protocol/frame.h"
#include "receiver/base64.h"
#include "receiver/msg_ring.h"
#include "receiver/ntc.h"
#include "receiver/receiver.h"
#include "serial/serial_port.h"

namespace {

// The UART's byte rate at 115200 bit/s, 8N1: ten bit times a byte.
constexpr double LINE_BYTES_PER_SECOND = 11520.0;

// Throughput of a stream benchmark: bytes_per_second (in binary units, MiB/s), and the same as
// decimal MB/s and as a multiple of the UART's line rate, the units of the goals.
void set_stream_rate(benchmark::State& state, size_t stream_bytes)
{
    const auto bytes = static_cast<double>(state.iterations()) * static_cast<double>(stream_bytes);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
    state.counters["x_line_rate"] =
        benchmark::Counter(bytes / LINE_BYTES_PER_SECOND, benchmark::Counter::kIsRate);
}

// A reply frame as the MCU sends it: AA, L, head byte, event id, payload, checksum, BB.
void add_reply(std::vector<uint8_t>& stream, uint8_t event, std::vector<uint8_t> payload,
               uint8_t head = 0)
{
    std::vector<uint8_t> body{head, event};
    body.insert(body.end(), payload.begin(), payload.end());
    const uint8_t sum = check_sum(body.data(), static_cast<uint8_t>(body.size()));
    stream.push_back(0xAA);
    stream.push_back(static_cast<uint8_t>(body.size() + 2));
    stream.insert(stream.end(), body.begin(), body.end());
    stream.push_back(sum);
    stream.push_back(0xBB);
}

// What a busy run receives: identity, metering floats, relays, NTC, key and RS485 reports,
// infrared learning data, and a little line noise between frames.
std::vector<uint8_t> recorded_stream()
{
    std::vector<uint8_t> s;
    for (int round = 0; round < 64; round++) {
        add_reply(s, 0x31, {0x02});
        add_reply(s, 0x32, {0x07});
        add_reply(s, 0xFE, {0x05});
        add_reply(s, 0x20, {0x10, 0x27, 0x00, 0x00});
        add_reply(s, 0x44, {0x0C, 0x22, 0x05, 0x43, 0x59, 0x00});
        add_reply(s, 0x51, {0x00, 0xC8, 0xB3, 0x46});
        add_reply(s, 0x52, {0x00, 0x00, 0x7A, 0x43});
        add_reply(s, 0x53, {0x66, 0x66, 0x5C, 0x42});
        add_reply(s, 0x54, {0x9A, 0x99, 0x99, 0x3F});
        add_reply(s, 0x74, {0x01, 0xF4, 0x00, 0xFA});
        add_reply(s, 0x94, {0x01, 0x01});
        add_reply(s, 0x95, {0x01, 0xE8, 0x03, 0x00, 0x00});
        add_reply(s, 0x96, {0x00, 0x08, 0x00, 0x00});
        add_reply(s, 0x33, {0x01});
        add_reply(s, 0x91, {'R', 'e', 'c', 'e', 'i', 'v', 'e', 0x00});
        add_reply(s, 0x9E, {0x02, 0x01, 'A', 'Q', 'A', 'C', 'A', 'A', '=', '='});
        add_reply(s, 0x75, {0x00, 0x17, 0xBB});
        s.push_back(0x00);
        s.push_back(0x13);
    }
    return s;
}

// Piece sizes 1 to 4 in turn, as the receiver's reads deliver them.
template <typename Consume>
void for_each_piece(const std::vector<uint8_t>& s, Consume consume)
{
    size_t pos = 0;
    int size = 1;
    while (pos < s.size()) {
        const size_t n = std::min(static_cast<size_t>(size), s.size() - pos);
        consume(&s[pos], static_cast<int32_t>(n));
        pos += n;
        size = size == 4 ? 1 : size + 1;
    }
}

void BM_Assembler(benchmark::State& state)
{
    const std::vector<uint8_t> stream = recorded_stream();
    uart_msg_init();
    for (auto _ : state) {
        for_each_piece(stream, [](const uint8_t* piece, int32_t n) {
            devctrl_uart_msg_deal(piece, n);
            // Consume as the receiver does, without the handler: release the oldest frame.
            if (msg_ring_oldest() != nullptr) {
                msg_ring_release();
            }
        });
        benchmark::DoNotOptimize(mcu_msg.write_index);
    }
    set_stream_rate(state, stream.size());
}
BENCHMARK(BM_Assembler);

void BM_ReceivePath(benchmark::State& state)
{
    const std::vector<uint8_t> stream = recorded_stream();
    // The handlers print through stdout: point its descriptor at /dev/null for the run only,
    // so that the benchmark's own report still reaches the terminal.
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (saved < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0) {
        state.SkipWithError("cannot send standard output to /dev/null");
        return;
    }
    close(null);
    uint8_t ir_decode[IR_DECODE_SIZE] = {};
    uart_msg_init();
    for (auto _ : state) {
        for_each_piece(stream, [&ir_decode](const uint8_t* piece, int32_t n) {
            devctrl_serial_echo(piece, n);
            receiver_take_piece(piece, n, ir_decode);
        });
    }
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    set_stream_rate(state, stream.size());
}
BENCHMARK(BM_ReceivePath);

void BM_CheckSum(benchmark::State& state)
{
    std::vector<uint8_t> body(255);
    for (size_t i = 0; i < body.size(); i++) {
        body[i] = static_cast<uint8_t>(i * 7);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(body.data());
        benchmark::DoNotOptimize(check_sum(body.data(), 253));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 253);
}
BENCHMARK(BM_CheckSum);

void BM_Base64(benchmark::State& state)
{
    // A full learning report's worth of text: 248 characters, no padding.
    std::vector<uint8_t> text;
    const char* group = "AQACAwQF";
    while (text.size() < 248) {
        text.insert(text.end(), group, group + 8);
    }
    uint8_t out[IR_DECODE_SIZE];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            base64_decode(text.data(), static_cast<uint32_t>(text.size()), out));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Base64);

void BM_TempFitting(benchmark::State& state)
{
    uint32_t raw = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(temp_fitting(raw));
        raw = (raw + 37) & 0xFFF;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_TempFitting);

} // namespace

BENCHMARK_MAIN();
