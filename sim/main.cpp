// mcu_sim: the MCU at the far end of the board's UART, on a pseudo-terminal, a serial port or a
// Unix socket. The options are in options.hpp, the three kinds of port in port.hpp, what the
// simulator does with bytes, connects and time in simulator.hpp, and the loop that joins a port
// to it in loop.hpp. The MCU's codes are in codes.hpp: the simulator keeps its own table of them
// on purpose and shares no code with the tool, so that each checks the other.

#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "loop.hpp"
#include "options.hpp"

int main(int argc, char** argv)
{
    using namespace sim;
    Options o;
    try {
        o = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const OptionError& e) {
        std::fprintf(stderr, "mcu_sim: %s\n(mcu_sim --help lists the options)\n", e.what());
        return 2;
    }
    if (o.help) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    if (o.realtime) {
        // The MCU answers within its own time whatever the host runs; so must its stand-in.
        sched_param param{};
        param.sched_priority = 10;
        if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
            std::fprintf(stderr, "mcu_sim: --realtime: %s; at normal priority\n",
                         std::strerror(errno));
        }
    }
    const std::int64_t start_ns = monotonic_ns();
    try {
        const std::unique_ptr<FILE, int (*)(FILE*)> log(
            o.log.empty() ? nullptr : std::fopen(o.log.c_str(), "a"), &std::fclose);
        if (!o.log.empty() && !log) {
            throw PortError("open log " + o.log + ": " + std::strerror(errno));
        }
        const auto sink = [&log, decode = o.decode](const std::string& line,
                                                    const std::string& readable) {
            if (log) {
                std::fprintf(log.get(), "%s\n", line.c_str());
                std::fflush(log.get());
            }
            if (decode) {
                std::printf("%s\n", readable.c_str());
                std::fflush(stdout);
            }
        };
        Simulator simulator(std::move(o.behaviour), start_ns, sink);
        catch_stop_signals(); // a stop that comes as soon as the ready file is there is clean
        Port port(o.port, o.port_path, o.ready);
        switch (o.port) {
        case PortKind::link:
            std::fprintf(stderr, "mcu_sim: %s -> %s\n", o.port_path.c_str(), port.name().c_str());
            break;
        case PortKind::device:
            std::fprintf(stderr, "mcu_sim: on %s\n", o.port_path.c_str());
            break;
        case PortKind::socket:
            std::fprintf(stderr, "mcu_sim: connected to %s\n", o.port_path.c_str());
            break;
        }
        run_port_loop(port, simulator);
    } catch (const PortError& e) {
        std::fprintf(stderr, "mcu_sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
