// mcu_sim: the MCU at the far end of the board's UART, on a pseudo-terminal, a serial port or
// a Unix socket that a virtual board's UART is wired to.
//
// The tool opens and closes the port once per run. On a pseudo-terminal the simulator sees
// that without holding the slave open itself: poll() on the master reports POLLHUP while no
// slave descriptor is open. A fresh pty does not report it before its first open, so the
// simulator opens and closes the slave once before it publishes the link; from then on
// POLLHUP goes away at the tool's open ("connect") and comes back at its close ("disconnect").
// While disconnected the simulator looks every millisecond. On a real serial port there is no
// such signal: the port counts as connected from the start, for good. A socket is the same,
// except that the peer can close it, which ends the simulator.

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "decode.hpp"
#include "device.hpp"
#include "frame.hpp"
#include "pacer.hpp"
#include "script.hpp"

namespace {

using namespace sim;

constexpr std::int64_t ns_per_ms = 1'000'000;

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int /*sig*/)
{
    g_stop = 1;
}

struct Options {
    std::string link;
    std::string device;
    std::string socket;
    std::string ready;
    std::string log;
    bool decode = false;
    DeviceState state;
    Faults faults;
    std::vector<Step> steps;
    Pace pace;
    std::int64_t delay_ms = 2;
    std::int64_t silence_ms = FrameCutter::default_silence_ms;
    std::optional<std::int64_t> close_after_ms;
};

void usage(FILE* out)
{
    std::fprintf(
        out, "%s",
        "usage: mcu_sim (--link PATH | --device PATH | --socket PATH) [options]\n"
        "Simulates the board's MCU: answers the command frames of mcu_test like the firmware.\n"
        "\n"
        "Port (exactly one):\n"
        "  --link PATH        create a pseudo-terminal and publish its slave as the symlink\n"
        "                     PATH once it is ready (a stale link is replaced); the link is\n"
        "                     removed on SIGINT/SIGTERM/SIGHUP, and the simulator exits 0\n"
        "  --device PATH      use a real serial port instead, 115200 8N1 raw; it counts as\n"
        "                     connected from the start\n"
        "  --socket PATH      connect to the Unix stream socket PATH that serves a virtual\n"
        "                     board's UART (QEMU: -chardev socket,id=mcu,path=PATH,server=on,\n"
        "                     wait=off); it counts as connected from the start; when the peer\n"
        "                     closes it, the simulator ends with status 0\n"
        "  --ready FILE       create FILE once the port is up (the link published, the device\n"
        "                     open, the socket connected); a stale FILE is removed at start, and\n"
        "                     FILE is removed again when the port closes\n"
        "\n"
        "Output:\n"
        "  --log FILE         append one line per thing received, flushed at once:\n"
        "                       <ms> <bytes>               a command frame\n"
        "                       <ms> <bytes> bad checksum  a frame whose checksum is wrong\n"
        "                       <ms> <bytes> incomplete    a frame cut by ~20 ms of silence\n"
        "                                                  or by the tool closing the port\n"
        "                       <ms> <bytes> noise         bytes outside frames, one line a\n"
        "                                                  burst (e.g. zero padding)\n"
        "                       <ms> connect | <ms> disconnect   the tool opened/closed the port\n"
        "                     ms: whole milliseconds since the simulator started\n"
        "                     (CLOCK_MONOTONIC), at the first byte; bytes: two-digit upper-case\n"
        "                     hex separated by single blanks\n"
        "  --decode           print the same events readably on standard output, one line\n"
        "                     each: '<ms> mcu_relay_control relay=1 value=1'\n"
        "\n"
        "Device state:\n"
        "  --set NAME=VALUE   (repeatable) names and defaults:\n");
    std::fprintf(out, "%s", state_help().c_str());
    std::fprintf(
        out, "%s",
        "                     The state lives as long as the simulator: a serial number written\n"
        "                     (0x43) is read back (0x44), relays stay switched (0x93, 0x99),\n"
        "                     0x68 sets the duty, 0x10 enters the boot loader (mode 0), 0xAA\n"
        "                     returns to the application (mode 2).\n"
        "\n"
        "Answers: every command the tool has a reply handler for gets a reply frame with the\n"
        "same code; 0x90 (RS485 send) is looped back as a 0x91 report \"Receive\"; 0x9B/0x9C (IR\n"
        "send) give a 0x75 IR test report 00 17 BB; 0x9D (IR receiver) gives 0x9E learning\n"
        "reports. 0x10 0x43 0x55 0x68 0x92 0x9A 0xAA get no answer.\n"
        "  --delay MS         reply delay after the command frame is complete (default 2)\n"
        "  --silence MS       line silence that ends an incomplete frame (default 20)\n"
        "  --pace MODE        how replies, reports and script sends go out:\n"
        "                       line       115200 bit/s, 86.8 us a byte, absolute schedule\n"
        "                                  (default)\n"
        "                       byte:USEC  one write() per byte, USEC microseconds apart\n"
        "                       burst      one write() per frame or script step\n"
        "\n"
        "Failures:\n"
        "  --silent           answer nothing (still logs; script steps still run)\n"
        "  --fail WHAT        (repeatable, or comma-separated)\n"
        "                       rs485     loop back \"Rec0ive\" instead of \"Receive\"\n"
        "                       ir        IR test report 00 17 BA (fail)\n"
        "                       checksum  every answer with its checksum byte plus one\n"
        "                       silent    the same as --silent\n"
        "  --drop-tail N      cut N bytes off the end of every answer\n"
        "  --ignore CODE      (repeatable) no answer to this command code (hex, e.g. 32)\n"
        "  --close-after MS   MS after a connect, close the port and remove the link, like an\n"
        "                     MCU that disappears; the simulator then waits for its signal\n"
        "\n"
        "Timed sends, after each connect (answers and faults do not apply to them):\n"
        "  --script FILE      one step a line:\n");
    std::fprintf(out, "%s", script_help().c_str());
    std::fprintf(
        out, "%s",
        "  --report NAME=V1,V2,...@MS   (repeatable) a script step '<MS> report NAME V1 V2 ...',\n"
        "                     e.g. --report key=1@500, --report learn=2,1,AQACAA==@300\n"
        "  --help             this text\n"
        "\n"
        "Connections: on a pseudo-terminal the tool's open and close are seen as POLLHUP on\n"
        "the master going away and coming back (the simulator opens and closes the slave once\n"
        "before publishing the link, since a fresh pty reports no POLLHUP before its first\n"
        "open; while the port is closed it looks every millisecond). Each connect starts the\n"
        "script clock and the frame cutter afresh; the device state persists.\n");
}

[[noreturn]] void fail_usage(const std::string& msg)
{
    std::fprintf(stderr, "mcu_sim: %s\n(mcu_sim --help lists the options)\n", msg.c_str());
    std::exit(2);
}

std::int64_t parse_ms(const char* opt, const char* text)
{
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || v < 0 || v > 86'400'000) {
        fail_usage(std::string("bad value '") + text + "' for " + opt);
    }
    return v;
}

std::string read_text_file(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail_usage(std::string("cannot read ") + path);
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Options parse_options(int argc, char** argv)
{
    enum {
        o_link = 256,
        o_device,
        o_socket,
        o_ready,
        o_log,
        o_decode,
        o_silent,
        o_set,
        o_fail,
        o_drop_tail,
        o_close_after,
        o_ignore,
        o_delay,
        o_silence,
        o_script,
        o_report,
        o_pace,
        o_help
    };
    static const option longs[] = {
        {"link", required_argument, nullptr, o_link},
        {"device", required_argument, nullptr, o_device},
        {"socket", required_argument, nullptr, o_socket},
        {"ready", required_argument, nullptr, o_ready},
        {"log", required_argument, nullptr, o_log},
        {"decode", no_argument, nullptr, o_decode},
        {"silent", no_argument, nullptr, o_silent},
        {"set", required_argument, nullptr, o_set},
        {"fail", required_argument, nullptr, o_fail},
        {"drop-tail", required_argument, nullptr, o_drop_tail},
        {"close-after", required_argument, nullptr, o_close_after},
        {"ignore", required_argument, nullptr, o_ignore},
        {"delay", required_argument, nullptr, o_delay},
        {"silence", required_argument, nullptr, o_silence},
        {"script", required_argument, nullptr, o_script},
        {"report", required_argument, nullptr, o_report},
        {"pace", required_argument, nullptr, o_pace},
        {"help", no_argument, nullptr, o_help},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    std::string script_text;
    int c = 0;
    while ((c = getopt_long(argc, argv, "", longs, nullptr)) != -1) {
        const std::string arg = optarg ? optarg : "";
        switch (c) {
        case o_link:
            o.link = arg;
            break;
        case o_device:
            o.device = arg;
            break;
        case o_socket:
            o.socket = arg;
            break;
        case o_ready:
            o.ready = arg;
            break;
        case o_log:
            o.log = arg;
            break;
        case o_decode:
            o.decode = true;
            break;
        case o_silent:
            o.faults.silent = true;
            break;
        case o_set:
            if (const std::string err = set_state(o.state, arg); !err.empty()) {
                fail_usage("--set: " + err);
            }
            break;
        case o_fail: {
            std::stringstream ss(arg);
            std::string what;
            while (std::getline(ss, what, ',')) {
                if (what == "rs485") {
                    o.faults.rs485 = true;
                } else if (what == "ir") {
                    o.faults.ir = true;
                } else if (what == "checksum") {
                    o.faults.checksum = true;
                } else if (what == "silent") {
                    o.faults.silent = true;
                } else {
                    fail_usage("--fail takes rs485, ir, checksum or silent, not '" + what + "'");
                }
            }
            break;
        }
        case o_drop_tail:
            o.faults.drop_tail = static_cast<std::size_t>(parse_ms("--drop-tail", optarg));
            break;
        case o_close_after:
            o.close_after_ms = parse_ms("--close-after", optarg);
            break;
        case o_ignore: {
            char* end = nullptr;
            const unsigned long code = std::strtoul(optarg, &end, 16);
            if (*optarg == '\0' || *end != '\0' || code > 0xFF) {
                fail_usage("--ignore takes a hex code such as 32, not '" + arg + "'");
            }
            o.faults.ignore.insert(static_cast<std::uint8_t>(code));
            break;
        }
        case o_delay:
            o.delay_ms = parse_ms("--delay", optarg);
            break;
        case o_silence:
            o.silence_ms = parse_ms("--silence", optarg);
            break;
        case o_script:
            script_text += read_text_file(optarg) + "\n";
            break;
        case o_report:
            try {
                script_text += report_option_line(arg) + "\n";
            } catch (const ScriptError& e) {
                fail_usage(e.what());
            }
            break;
        case o_pace:
            try {
                o.pace = Pace::parse(arg);
            } catch (const std::exception& e) {
                fail_usage(e.what());
            }
            break;
        case o_help:
            usage(stdout);
            std::exit(0);
        default:
            fail_usage("unknown option");
        }
    }
    if (optind < argc) {
        fail_usage(std::string("unexpected argument '") + argv[optind] + "'");
    }
    if (int(!o.link.empty()) + int(!o.device.empty()) + int(!o.socket.empty()) != 1) {
        fail_usage("give exactly one of --link PATH, --device PATH and --socket PATH");
    }
    try {
        o.steps = parse_script(script_text);
    } catch (const ScriptError& e) {
        fail_usage(std::string("script: ") + e.what());
    }
    return o;
}

std::int64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

[[noreturn]] void die(const std::string& what)
{
    std::fprintf(stderr, "mcu_sim: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

void make_raw(int fd, bool set_speed)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        die("tcgetattr");
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (set_speed) {
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        die("tcsetattr");
    }
}

// A pseudo-terminal whose slave has been opened and closed once, so that the master reports
// POLLHUP until the tool opens the slave. Returns the master; slave_path is filled.
int open_pty(std::string& slave_path)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        die("posix_openpt");
    }
    const char* name = ptsname(master);
    if (name == nullptr) {
        die("ptsname");
    }
    slave_path = name;
    const int slave = open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        die("open " + slave_path);
    }
    make_raw(slave, false); // no echo even before the tool sets its own mode
    close(slave);
    if (fcntl(master, F_SETFL, O_NONBLOCK) != 0) {
        die("fcntl");
    }
    return master;
}

void publish_link(const std::string& link, const std::string& target)
{
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        errno = EEXIST;
        die(link + " exists and is not a symlink");
    }
    const std::string tmp = link + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0) {
        die("symlink " + tmp);
    }
    if (rename(tmp.c_str(), link.c_str()) != 0) { // replaces a stale link atomically
        unlink(tmp.c_str());
        die("rename " + tmp + " to " + link);
    }
}

// Removes the link only while it still points at this simulator's pty.
void remove_link(const std::string& link, const std::string& target)
{
    char buf[4096];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target) {
        unlink(link.c_str());
    }
}

int open_device(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        die("open " + path);
    }
    make_raw(fd, true);
    tcflush(fd, TCIOFLUSH);
    return fd;
}

int connect_socket(const std::string& path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr,
                     "mcu_sim: cannot connect to socket %s: the path is longer than %zu "
                     "bytes\n",
                     path.c_str(), sizeof addr.sun_path - 1);
        std::exit(1);
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        die("socket");
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        die("cannot connect to socket " + path);
    }
    if (fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        die("fcntl");
    }
    return fd;
}

// Creates the readiness file: written under a temporary name and renamed, so that a harness
// that sees it sees it whole.
void create_ready(const std::string& path, const std::string& port)
{
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        die("create " + tmp);
    }
    std::fprintf(f, "%s\n", port.c_str());
    if (std::fclose(f) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        die("create " + path);
    }
}

class Simulator {
  public:
    explicit Simulator(Options o)
        : o_(std::move(o)), device_(o_.state, o_.faults), cutter_(o_.silence_ms), tx_(o_.pace),
          start_ns_(monotonic_ns())
    {
        if (!o_.log.empty()) {
            log_ = std::fopen(o_.log.c_str(), "a");
            if (log_ == nullptr) {
                die("open log " + o_.log);
            }
        }
    }

    int run();

  private:
    std::int64_t ms(std::int64_t ns) const { return (ns - start_ns_) / ns_per_ms; }
    void emit(const std::string& log_text, const std::string& decode_text);
    void connect(std::int64_t now);
    void disconnect(std::int64_t now);
    void take_cuts(std::int64_t now);
    void read_port(std::int64_t now, bool& hangup);
    void write_due(std::int64_t now);
    void close_port(std::int64_t now);
    void port_down();
    void end_by_peer(std::int64_t now);
    std::optional<std::int64_t> next_deadline() const;

    Options o_;
    Device device_;
    FrameCutter cutter_;
    Transmitter tx_;
    std::vector<Cut> cuts_;
    std::int64_t start_ns_;
    FILE* log_ = nullptr;
    int fd_ = -1;
    std::string slave_;
    bool pty_ = false;
    bool socket_ = false;
    bool peer_closed_ = false;
    bool connected_ = false;
    bool write_blocked_ = false;
    std::int64_t connect_ns_ = 0;
    std::size_t next_step_ = 0;
};

void Simulator::emit(const std::string& log_text, const std::string& decode_text)
{
    if (log_ != nullptr) {
        std::fprintf(log_, "%s\n", log_text.c_str());
        std::fflush(log_);
    }
    if (o_.decode) {
        std::printf("%s\n", decode_text.c_str());
        std::fflush(stdout);
    }
}

void Simulator::connect(std::int64_t now)
{
    connected_ = true;
    connect_ns_ = now;
    next_step_ = 0;
    cutter_.reset();
    tx_.clear();
    write_blocked_ = false;
    const std::string line = std::to_string(ms(now)) + " connect";
    emit(line, line);
}

void Simulator::disconnect(std::int64_t now)
{
    cutter_.flush(cuts_);
    take_cuts(now);
    connected_ = false;
    tx_.clear();
    const std::string line = std::to_string(ms(now)) + " disconnect";
    emit(line, line);
}

void Simulator::take_cuts(std::int64_t now)
{
    for (const Cut& cut : cuts_) {
        emit(log_line(cut), std::to_string(cut.ms) + ' ' + decode(cut));
        if (cut.kind == CutKind::frame && connected_) {
            for (Bytes& reply : device_.handle(cut.bytes, ms(now))) {
                tx_.enqueue(std::move(reply), now + o_.delay_ms * ns_per_ms);
            }
        }
    }
    cuts_.clear();
}

void Simulator::read_port(std::int64_t now, bool& hangup)
{
    std::uint8_t buf[4096];
    for (;;) {
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n > 0) {
            cutter_.feed(std::span(buf, static_cast<std::size_t>(n)), ms(now), cuts_);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EIO && pty_) {
            hangup = true; // the last slave descriptor was closed and the data is read
        }
        if ((n == 0 || (n < 0 && errno == ECONNRESET)) && socket_) {
            hangup = true; // the peer closed the socket
        }
        break;
    }
    take_cuts(now);
}

void Simulator::write_due(std::int64_t now)
{
    write_blocked_ = false;
    for (auto bytes = tx_.due(now); !bytes.empty(); bytes = tx_.due(now)) {
        const ssize_t n = write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            write_blocked_ = errno == EAGAIN;
            peer_closed_ = socket_ && (errno == EPIPE || errno == ECONNRESET);
            break;
        }
        tx_.consume(static_cast<std::size_t>(n));
    }
}

void Simulator::close_port(std::int64_t now)
{
    if (connected_) {
        disconnect(now);
    }
    close(fd_);
    fd_ = -1;
    port_down();
    std::fprintf(stderr, "mcu_sim: port closed after %lld ms, as asked\n",
                 static_cast<long long>(*o_.close_after_ms));
}

void Simulator::port_down()
{
    if (pty_) {
        remove_link(o_.link, slave_);
    }
    if (!o_.ready.empty()) {
        unlink(o_.ready.c_str());
    }
}

void Simulator::end_by_peer(std::int64_t now)
{
    disconnect(now);
    std::fprintf(stderr, "mcu_sim: %s closed by the peer\n", o_.socket.c_str());
}

std::optional<std::int64_t> Simulator::next_deadline() const
{
    std::optional<std::int64_t> d;
    const auto take = [&](std::optional<std::int64_t> t) {
        if (t && (!d || *t < *d)) {
            d = t;
        }
    };
    if (const auto c = cutter_.deadline()) {
        take(start_ns_ + *c * ns_per_ms);
    }
    if (!write_blocked_) {
        take(tx_.next_due());
    }
    if (next_step_ < o_.steps.size()) {
        take(connect_ns_ + o_.steps[next_step_].ms * ns_per_ms);
    }
    if (o_.close_after_ms) {
        take(connect_ns_ + *o_.close_after_ms * ns_per_ms);
    }
    return d;
}

int Simulator::run()
{
    // SIGINT/SIGTERM/SIGHUP are only let through while waiting in ppoll(), so no system call
    // elsewhere is cut short.
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

    if (!o_.ready.empty()) {
        unlink(o_.ready.c_str()); // a stale one from an earlier run
    }
    if (!o_.link.empty()) {
        pty_ = true;
        fd_ = open_pty(slave_);
        publish_link(o_.link, slave_);
        std::fprintf(stderr, "mcu_sim: %s -> %s\n", o_.link.c_str(), slave_.c_str());
    } else if (!o_.socket.empty()) {
        socket_ = true;
        fd_ = connect_socket(o_.socket);
        std::fprintf(stderr, "mcu_sim: connected to %s\n", o_.socket.c_str());
        connect(monotonic_ns());
    } else {
        fd_ = open_device(o_.device);
        std::fprintf(stderr, "mcu_sim: on %s\n", o_.device.c_str());
        connect(monotonic_ns());
    }
    if (!o_.ready.empty()) {
        create_ready(o_.ready, pty_ ? slave_ : socket_ ? o_.socket : o_.device);
    }

    while (g_stop == 0) {
        std::int64_t now = monotonic_ns();
        if (fd_ < 0 || !connected_) {
            pollfd p{fd_, POLLIN, 0};
            if (fd_ >= 0 && pty_ && poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0) {
                connect(now);
                continue;
            }
            const timespec tick{0, fd_ < 0 ? 100 * ns_per_ms : ns_per_ms};
            ppoll(nullptr, 0, &tick, &waiting);
            continue;
        }

        pollfd p{fd_, static_cast<short>(POLLIN | (write_blocked_ ? POLLOUT : 0)), 0};
        timespec ts{};
        const timespec* timeout = nullptr;
        if (const auto d = next_deadline()) {
            const std::int64_t wait = std::max<std::int64_t>(0, *d - now);
            ts = {static_cast<time_t>(wait / 1'000'000'000),
                  static_cast<long>(wait % 1'000'000'000)};
            timeout = &ts;
        }
        const int r = ppoll(&p, 1, timeout, &waiting);
        now = monotonic_ns();
        if (r < 0) {
            continue; // EINTR: a signal; the loop test sees it
        }
        bool hangup = false;
        if ((p.revents & POLLIN) != 0) {
            read_port(now, hangup);
        } else if ((p.revents & (POLLHUP | POLLERR)) != 0 && (pty_ || socket_)) {
            hangup = true;
        }
        if (hangup && socket_) {
            end_by_peer(now);
            break;
        }
        if (hangup) {
            disconnect(now);
            continue;
        }
        cutter_.idle(ms(now), cuts_);
        take_cuts(now);
        while (next_step_ < o_.steps.size() &&
               connect_ns_ + o_.steps[next_step_].ms * ns_per_ms <= now) {
            const Step& s = o_.steps[next_step_++];
            tx_.enqueue(s.bytes, connect_ns_ + s.ms * ns_per_ms);
        }
        write_due(now);
        if (peer_closed_) { // a write found the peer gone
            end_by_peer(now);
            break;
        }
        if (o_.close_after_ms && now >= connect_ns_ + *o_.close_after_ms * ns_per_ms) {
            close_port(now);
        }
    }

    if (fd_ >= 0) {
        if (connected_) {
            cutter_.flush(cuts_);
            take_cuts(monotonic_ns());
        }
        close(fd_);
        port_down();
    }
    if (log_ != nullptr) {
        std::fclose(log_);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Simulator sim(parse_options(argc, argv));
    return sim.run();
}
