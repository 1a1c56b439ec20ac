#include "loop.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

namespace sim {
namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int /*sig*/) { g_stop = 1; }

// Installs the handlers and blocks the signals; returns the mask to wait with.
sigset_t catch_signals()
{
    sigset_t blocked;
    sigset_t waiting;
    sigemptyset(&blocked);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&blocked, sig);
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigaction(sig, &sa, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigdelset(&waiting, sig);
    }
    return waiting;
}

timespec span_of(std::int64_t ns)
{
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

enum class ReadEnd { more_later, tool_closed, peer_closed };

// Reads everything there is into the simulator.
ReadEnd read_port(const Port& port, Simulator& sim, std::int64_t now)
{
    std::uint8_t buf[4096];
    for (;;) {
        const ssize_t n = read(port.fd(), buf, sizeof buf);
        if (n > 0) {
            sim.received(std::span(buf, static_cast<std::size_t>(n)), now);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EIO && port.kind() == PortKind::link) {
            return ReadEnd::tool_closed; // the last slave descriptor closed, the data is read
        }
        if ((n == 0 || (n < 0 && errno == ECONNRESET)) && port.kind() == PortKind::socket) {
            return ReadEnd::peer_closed;
        }
        return ReadEnd::more_later;
    }
}

enum class WriteEnd { done, blocked, peer_closed };

WriteEnd write_due(const Port& port, Simulator& sim, std::int64_t now)
{
    for (auto bytes = sim.due(now); !bytes.empty(); bytes = sim.due(now)) {
        const ssize_t n = write(port.fd(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const bool gone =
                port.kind() == PortKind::socket && (errno == EPIPE || errno == ECONNRESET);
            return gone ? WriteEnd::peer_closed : WriteEnd::blocked;
        }
        sim.sent(static_cast<std::size_t>(n));
    }
    return WriteEnd::done;
}

} // namespace

std::int64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void catch_stop_signals() { catch_signals(); }

void run_port_loop(Port& port, Simulator& sim, Clock clock)
{
    const sigset_t waiting = catch_signals();
    if (!port.signals_connects()) {
        sim.connect(clock());
    }
    bool write_blocked = false;
    while (g_stop == 0) {
        std::int64_t now = clock();
        if (!port.is_open() || !sim.connected()) {
            if (port.is_open() && port.signals_connects() && port.tool_present()) {
                sim.connect(now);
                write_blocked = false;
                continue;
            }
            const timespec tick = span_of(port.is_open() ? ns_per_ms : 100 * ns_per_ms);
            ppoll(nullptr, 0, &tick, &waiting);
            continue;
        }

        pollfd p{port.fd(), static_cast<short>(POLLIN | (write_blocked ? POLLOUT : 0)), 0};
        timespec ts{};
        const timespec* timeout = nullptr;
        const auto d = write_blocked ? sim.next_deadline_but_writes() : sim.next_deadline();
        if (d) {
            ts = span_of(std::max<std::int64_t>(0, *d - now));
            timeout = &ts;
        }
        if (ppoll(&p, 1, timeout, &waiting) < 0) {
            continue; // EINTR: a signal; the loop test sees it
        }
        now = clock();
        ReadEnd end = ReadEnd::more_later;
        if ((p.revents & POLLIN) != 0) {
            end = read_port(port, sim, now);
        } else if ((p.revents & (POLLHUP | POLLERR)) != 0 && port.kind() == PortKind::link) {
            end = ReadEnd::tool_closed;
        } else if ((p.revents & (POLLHUP | POLLERR)) != 0 && port.kind() == PortKind::socket) {
            end = ReadEnd::peer_closed;
        }
        if (end == ReadEnd::tool_closed) {
            sim.disconnect(now);
            continue;
        }
        WriteEnd written = WriteEnd::done;
        if (end != ReadEnd::peer_closed) {
            sim.advance(now);
            written = write_due(port, sim, now);
            write_blocked = written == WriteEnd::blocked;
        }
        if (end == ReadEnd::peer_closed || written == WriteEnd::peer_closed) {
            sim.disconnect(now);
            std::fprintf(stderr, "mcu_sim: %s closed by the peer\n", port.name().c_str());
            break;
        }
        if (sim.close_due(now)) {
            sim.disconnect(now);
            port.close();
            std::fprintf(stderr, "mcu_sim: port closed after %lld ms, as asked\n",
                         static_cast<long long>(*sim.behaviour().close_after_ms));
        }
    }
    if (sim.connected()) {
        sim.finish(clock());
    }
    port.close();
}

} // namespace sim
