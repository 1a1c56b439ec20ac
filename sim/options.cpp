#include "options.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>

namespace sim {
namespace {

enum class Opt {
    link,
    device,
    socket,
    ready,
    log,
    decode,
    realtime,
    silent,
    set,
    fail,
    drop_tail,
    close_after,
    ignore,
    delay,
    silence,
    script,
    report,
    pace,
    help,
};

struct OptionDef {
    std::string_view name;
    Opt opt;
    bool takes_value;
};

constexpr OptionDef option_defs[] = {
    {"link", Opt::link, true},
    {"device", Opt::device, true},
    {"socket", Opt::socket, true},
    {"ready", Opt::ready, true},
    {"log", Opt::log, true},
    {"decode", Opt::decode, false},
    {"realtime", Opt::realtime, false},
    {"silent", Opt::silent, false},
    {"set", Opt::set, true},
    {"fail", Opt::fail, true},
    {"drop-tail", Opt::drop_tail, true},
    {"close-after", Opt::close_after, true},
    {"ignore", Opt::ignore, true},
    {"delay", Opt::delay, true},
    {"silence", Opt::silence, true},
    {"script", Opt::script, true},
    {"report", Opt::report, true},
    {"pace", Opt::pace, true},
    {"help", Opt::help, false},
};

constexpr std::int64_t max_ms = 86'400'000;   // a day
constexpr std::uint64_t max_frame_size = 257; // AA, the length byte and 255 more

// The option named exactly, else the only one that starts with the name.
const OptionDef* find_option(std::string_view name)
{
    const OptionDef* found = nullptr;
    int prefixed = 0;
    for (const auto& s : option_defs) {
        if (s.name == name) {
            return &s;
        }
        if (!name.empty() && s.name.substr(0, name.size()) == name) {
            found = &s;
            ++prefixed;
        }
    }
    return prefixed == 1 ? found : nullptr;
}

// The value of one option and what is wrong with it.
class Value {
  public:
    Value(std::string_view option, std::string text) : option_(option), text_(std::move(text)) {}

    const std::string& text() const { return text_; }

    [[noreturn]] void refuse(std::string_view complaint) const
    {
        throw OptionError("--" + std::string(option_) + ": '" + text_ + "' is " +
                          std::string(complaint));
    }
    [[noreturn]] void refuse_as(const std::string& message) const
    {
        throw OptionError("--" + std::string(option_) + ": " + message);
    }

    std::uint64_t whole(std::uint64_t max, std::string_view unit) const
    {
        std::uint64_t v = 0;
        const char* end = text_.data() + text_.size();
        const auto [stop, ec] = std::from_chars(text_.data(), end, v);
        if (text_.empty() || ec != std::errc{} || stop != end) {
            refuse("not a whole number of " + std::string(unit));
        }
        if (v > max) {
            refuse("more than " + std::to_string(max) + " " + std::string(unit));
        }
        return v;
    }

    std::int64_t ms() const { return static_cast<std::int64_t>(whole(max_ms, "milliseconds")); }

  private:
    std::string_view option_;
    std::string text_;
};

void add_failures(Faults& faults, const Value& v)
{
    std::stringstream ss(v.text());
    std::string what;
    while (std::getline(ss, what, ',')) {
        if (what == "rs485") {
            faults.rs485 = true;
        } else if (what == "ir") {
            faults.ir = true;
        } else if (what == "checksum") {
            faults.checksum = true;
        } else if (what == "silent") {
            faults.silent = true;
        } else if (what == "relay") {
            faults.stuck_relay.fill(true);
        } else if (std::uint64_t n = 0; what.starts_with("relay:") &&
                                        parse_uint(what.substr(6), max_relays, n) && n > 0) {
            faults.stuck_relay[n] = true;
        } else {
            v.refuse_as("'" + what + "' is not rs485, ir, checksum, silent, relay or relay:N (N " +
                        "from 1 to " + std::to_string(max_relays) + ")");
        }
    }
}

std::uint8_t command_code(const Value& v)
{
    unsigned code = 0;
    const std::string& t = v.text();
    const auto [stop, ec] = std::from_chars(t.data(), t.data() + t.size(), code, 16);
    if (t.empty() || ec != std::errc{} || stop != t.data() + t.size() || code > 0xFF) {
        v.refuse("not a command code in hex, 0 to FF");
    }
    return static_cast<std::uint8_t>(code);
}

std::vector<Step> script_steps(const Value& v)
{
    std::ifstream in(v.text(), std::ios::binary);
    if (!in) {
        v.refuse("not a file that can be read");
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
        return parse_script(text);
    } catch (const ScriptError& e) {
        v.refuse(std::string("not a valid script: ") + e.what());
    }
}

void apply(Options& o, Opt opt, const Value& v, std::vector<Step>& steps)
{
    Behaviour& b = o.behaviour;
    switch (opt) {
    case Opt::link:
    case Opt::device:
    case Opt::socket:
        if (!o.port_path.empty()) {
            v.refuse_as("one port only: --link, --device or --socket");
        }
        if (v.text().empty()) {
            v.refuse("not a path");
        }
        if (opt == Opt::socket && v.text().size() > max_socket_path()) {
            v.refuse("longer than a socket address holds (" + std::to_string(max_socket_path()) +
                     " bytes)");
        }
        o.port = opt == Opt::link     ? PortKind::link
                 : opt == Opt::device ? PortKind::device
                                      : PortKind::socket;
        o.port_path = v.text();
        break;
    case Opt::ready:
        o.ready = v.text();
        break;
    case Opt::log:
        o.log = v.text();
        break;
    case Opt::decode:
        o.decode = true;
        break;
    case Opt::realtime:
        o.realtime = true;
        break;
    case Opt::silent:
        b.faults.silent = true;
        break;
    case Opt::set:
        if (const std::string err = set_state(b.state, v.text()); !err.empty()) {
            v.refuse_as(err);
        }
        break;
    case Opt::fail:
        add_failures(b.faults, v);
        break;
    case Opt::drop_tail:
        b.faults.drop_tail = static_cast<std::size_t>(v.whole(max_frame_size, "bytes"));
        break;
    case Opt::close_after:
        b.close_after_ms = v.ms();
        break;
    case Opt::ignore:
        b.faults.ignore.insert(command_code(v));
        break;
    case Opt::delay:
        b.delay_ms = v.ms();
        break;
    case Opt::silence:
        b.silence_ms = v.ms();
        break;
    case Opt::script: {
        const auto more = script_steps(v);
        steps.insert(steps.end(), more.begin(), more.end());
        break;
    }
    case Opt::report: {
        std::string line;
        try {
            line = report_option_line(v.text());
        } catch (const ScriptError& e) {
            v.refuse_as(e.what());
        }
        try {
            steps.push_back(parse_step(line));
        } catch (const ScriptError& e) {
            v.refuse(std::string("not a valid report: ") + e.what());
        }
        break;
    }
    case Opt::pace:
        try {
            b.pace = Pace::parse(v.text());
        } catch (const std::invalid_argument& e) {
            v.refuse_as(e.what());
        }
        break;
    case Opt::help:
        o.help = true;
        break;
    }
}

} // namespace

Options parse_options(const std::vector<std::string>& args)
{
    Options o;
    std::vector<Step> steps; // in the order of the options, sorted by time at the end
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
            throw OptionError("'" + word + "' is not an option (they start with --)");
        }
        const auto eq = word.find('=');
        const std::string name = word.substr(2, eq == std::string::npos ? eq : eq - 2);
        const OptionDef* def = find_option(name);
        if (def == nullptr) {
            throw OptionError("'--" + name + "' is not an option");
        }
        std::string value;
        if (eq != std::string::npos) {
            if (!def->takes_value) {
                throw OptionError("--" + std::string(def->name) + " takes no value");
            }
            value = word.substr(eq + 1);
        } else if (def->takes_value) {
            if (i + 1 == args.size()) {
                throw OptionError("--" + std::string(def->name) + " needs a value");
            }
            value = args[++i];
        }
        apply(o, def->opt, Value(def->name, value), steps);
    }
    if (o.help) {
        return o;
    }
    if (o.port_path.empty()) {
        throw OptionError("give one port: --link PATH, --device PATH or --socket PATH");
    }
    std::stable_sort(steps.begin(), steps.end(),
                     [](const Step& a, const Step& b) { return a.ms < b.ms; });
    o.behaviour.steps = std::move(steps);
    return o;
}

std::string usage_text()
{
    std::string text;

    text += std::string(
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
        "Scheduling:\n"
        "  --realtime         run at real-time priority (SCHED_FIFO 10), so that the answers\n"
        "                     keep their time on a busy machine as the MCU's own do; it needs\n"
        "                     root or CAP_SYS_NICE, else a note on standard error and the\n"
        "                     simulator runs at normal priority\n"
        "\n"
        "Device state:\n"
        "  --set NAME=VALUE   (repeatable) names and defaults:\n");
    text += state_help();
    text += std::string(
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
        "                       relay     relays that do not switch: 0x93 and 0x99 are\n"
        "                                 acknowledged as usual, but 0x94 reads back the\n"
        "                                 old state and the on-time (0x95) goes on as before\n"
        "                       relay:N   relay N alone does not switch (N from 1 to 32)\n"
        "  --drop-tail N      cut N bytes off the end of every answer\n"
        "  --ignore CODE      (repeatable) no answer to this command code (hex, e.g. 32)\n"
        "  --close-after MS   MS after a connect, close the port and remove the link, like an\n"
        "                     MCU that disappears; the simulator then waits for its signal\n"
        "\n"
        "Timed sends, after each connect (answers and faults do not apply to them):\n"
        "  --script FILE      one step a line:\n");
    text += script_help();
    text += std::string(
        "  --report NAME=V1,V2,...@MS   (repeatable) a script step '<MS> report NAME V1 V2 ...',\n"
        "                     e.g. --report key=1@500, --report learn=2,1,AQACAA==@300\n"
        "  --help             this text\n"
        "Every value may also follow its option after '=' (--delay=5), and an option may be\n"
        "shortened to any unique prefix (--drop 2).\n"
        "\n"
        "Connections: on a pseudo-terminal the tool's open and close are seen as POLLHUP on\n"
        "the master going away and coming back (the simulator opens and closes the slave once\n"
        "before publishing the link, since a fresh pty reports no POLLHUP before its first\n"
        "open; while the port is closed it looks every millisecond). Each connect starts the\n"
        "script clock and the frame cutter afresh; the device state persists.\n");

    return text;
}

} // namespace sim
