// e2e_runner: runs one end-to-end case of mcu_test against the MCU simulator.
//
//   e2e_runner --sim PATH --work DIR [--link-timeout MS] [--start-allowance MS]
//              CASE -- TOOL [ARGS...]
//
// TOOL [ARGS...] is the command that starts the tool, with an emulator in front of it when the
// tool is built for another machine (qemu-mips -L /usr/mips-linux-gnu .../mcu_test_sim). The
// case's own arguments are appended to it. DIR is wiped and made afresh; the simulator and the
// tool both run with DIR as their working directory, where the simulator publishes its link
// "ttyMCU". Everything the run leaves behind stays in DIR for a look after a failure:
// sim.log, sim.out (the simulator's own output), tool.out and tool.err.
//
// --start-allowance is added to every case's longest wall time and longest gap, for builds whose
// programs run slowly (sanitizers, qemu-user). The shortest times are never lowered.
//
// Exit status: 0 when the case passes, 1 when it fails, 2 when the case or the call is wrong.
// The format of the case files is described in tests/e2e/cases/README.md.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* link_name = "ttyMCU";

// ---------------------------------------------------------------------------------------------
// The case file

struct Range {
    long min = 0;
    long max = 0;
};

enum class Device { sim, none, file };

struct Case {
    std::string name;
    std::vector<std::string> args;
    std::vector<std::string> sim_options;
    Device device = Device::sim;
    int status = 0;              // expected exit status, when no signal is expected
    std::optional<int> signal;   // expected terminating signal
    std::optional<Range> time;   // wall time of the tool, ms
    std::optional<long> timeout; // ms after which the tool is killed
    std::optional<long> kill_after;
    bool connects = false;             // compare the simulator's connect/disconnect lines too
    std::vector<std::string> log;      // expected simulator log entries, normalised
    std::optional<Range> gap;          // spacing of every two successive entries, ms
    std::map<std::size_t, Range> gaps; // spacing after entry N (1-based), overrides `gap`
    std::string expected_stdout;
    bool has_stdout = false;
    std::vector<std::pair<std::string, std::size_t>> counts; // count N |TEXT$: TEXT N times
    std::vector<std::pair<std::string, std::string>> files;
};

struct SyntaxError {
    std::string message;
};

std::string trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r");
    return std::string(s.substr(first, last - first + 1));
}

// Splits on blanks. A word in double quotes may hold blanks or be empty; in it \" and \\ stand
// for " and \, and any other backslash is kept as it is (so "printf 'a\n'" reaches the shell).
std::vector<std::string> split_words(std::string_view s)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < s.size()) {
        if (std::isspace(static_cast<unsigned char>(s[i])) != 0) {
            ++i;
            continue;
        }
        std::string word;
        if (s[i] == '"') {
            ++i;
            while (i < s.size() && s[i] != '"') {
                if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '"' || s[i + 1] == '\\')) {
                    ++i;
                }
                word += s[i++];
            }
            if (i == s.size()) {
                throw SyntaxError{"unterminated quote"};
            }
            ++i;
        } else {
            while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])) == 0) {
                word += s[i++];
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

long parse_ms(const std::string& word)
{
    std::size_t used = 0;
    long value = -1;
    try {
        value = std::stol(word, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != word.size() || value < 0) {
        throw SyntaxError{"'" + word + "' is not a number of milliseconds"};
    }
    return value;
}

Range parse_range(const std::vector<std::string>& w, std::size_t at)
{
    if (w.size() != at + 2) {
        throw SyntaxError{"expected MIN MAX (milliseconds)"};
    }
    Range r{parse_ms(w[at]), parse_ms(w[at + 1])};
    if (r.min > r.max) {
        throw SyntaxError{"MIN is larger than MAX"};
    }
    return r;
}

bool is_hex_byte(const std::string& w)
{
    return w.size() == 2 && std::isxdigit(static_cast<unsigned char>(w[0])) != 0 &&
           std::isxdigit(static_cast<unsigned char>(w[1])) != 0;
}

// A simulator log entry without its time stamp, in one spelling: connect, disconnect, or
// upper-case two-digit hex bytes separated by one blank, then the flag words if any.
std::string normalise_entry(const std::vector<std::string>& words, std::size_t from)
{
    std::string out;
    bool in_flags = false;
    for (std::size_t i = from; i < words.size(); ++i) {
        std::string w = words[i];
        if (!in_flags && is_hex_byte(w)) {
            std::transform(w.begin(), w.end(), w.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        } else {
            in_flags = true;
        }
        if (!out.empty()) {
            out += ' ';
        }
        out += w;
    }
    return out;
}

bool is_event(const std::string& entry)
{
    return entry == "connect" || entry == "disconnect";
}

// A frame entry is one or more bytes, then nothing or one of the simulator's flags.
void check_log_entry(const std::string& entry)
{
    const auto words = split_words(entry);
    std::size_t bytes = 0;
    while (bytes < words.size() && is_hex_byte(words[bytes])) {
        ++bytes;
    }
    std::string flag;
    for (std::size_t i = bytes; i < words.size(); ++i) {
        flag += (flag.empty() ? "" : " ") + words[i];
    }
    if (bytes == 0 ||
        (!flag.empty() && flag != "bad checksum" && flag != "incomplete" && flag != "noise")) {
        throw SyntaxError{"a frame is hex bytes, then optionally 'bad checksum', 'incomplete' "
                          "or 'noise'"};
    }
}

// One line of a text block: '|', the text, then '$' (a newline) or '\' (no newline); either
// mark keeps trailing blanks visible.
std::string block_line(const std::string& line)
{
    if (line.size() < 2 || (line.back() != '$' && line.back() != '\\')) {
        throw SyntaxError{"block line must end with '$' (newline) or '\\' (no newline)"};
    }
    return line.substr(1, line.size() - 2) + (line.back() == '$' ? "\n" : "");
}

// A text block: block lines, closed by a line "end".
std::string read_block(std::istream& in, int& line_no)
{
    std::string text;
    std::string line;
    while (std::getline(in, line)) {
        ++line_no;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (trim(line) == "end") {
            return text;
        }
        if (line.empty() || line[0] != '|') {
            throw SyntaxError{"block line must start with '|' (or close the block with 'end')"};
        }
        text += block_line(line);
    }
    throw SyntaxError{"block not closed by 'end'"};
}

// "count N |TEXT$": the standard output holds TEXT, written as a block line, N times.
std::pair<std::string, std::size_t> parse_count(const std::string& line)
{
    const auto bar = line.find('|');
    const auto words = split_words(std::string_view(line).substr(0, bar));
    if (bar == std::string::npos || words.size() != 2) {
        throw SyntaxError{"count takes N, then the text as a block line: count N |TEXT$"};
    }
    std::string text = block_line(line.substr(bar));
    if (text.empty()) {
        throw SyntaxError{"count needs a text that is not empty"};
    }
    try {
        return {std::move(text), static_cast<std::size_t>(parse_ms(words[1]))};
    } catch (const SyntaxError&) {
        throw SyntaxError{"count: '" + words[1] + "' is not a whole number"};
    }
}

// Non-overlapping occurrences of text in out, counted from the start.
std::size_t occurrences(const std::string& out, const std::string& text)
{
    std::size_t n = 0;
    for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + text.size())) {
        ++n;
    }
    return n;
}

void parse_line(Case& c, const std::vector<std::string>& w, std::istream& in, int& line_no)
{
    const std::string& key = w[0];
    auto want = [&](std::size_t n) {
        if (w.size() != n) {
            throw SyntaxError{"'" + key + "' takes " + std::to_string(n - 1) + " value(s)"};
        }
    };
    if (key == "args") {
        c.args.assign(w.begin() + 1, w.end());
    } else if (key == "sim") {
        c.sim_options.insert(c.sim_options.end(), w.begin() + 1, w.end());
    } else if (key == "device") {
        want(2);
        if (w[1] == "sim") {
            c.device = Device::sim;
        } else if (w[1] == "none") {
            c.device = Device::none;
        } else if (w[1] == "file") {
            c.device = Device::file;
        } else {
            throw SyntaxError{"device is sim, none or file"};
        }
    } else if (key == "status") {
        if (w.size() == 3 && w[1] == "signal") {
            if (w[2] == "TERM") {
                c.signal = SIGTERM;
            } else if (w[2] == "KILL") {
                c.signal = SIGKILL;
            } else {
                throw SyntaxError{"status signal is TERM or KILL"};
            }
        } else {
            want(2);
            c.status = static_cast<int>(parse_ms(w[1]));
        }
    } else if (key == "time") {
        c.time = parse_range(w, 1);
    } else if (key == "timeout") {
        want(2);
        c.timeout = parse_ms(w[1]);
    } else if (key == "kill-after") {
        want(2);
        c.kill_after = parse_ms(w[1]);
    } else if (key == "connects") {
        want(2);
        if (w[1] != "yes" && w[1] != "no") {
            throw SyntaxError{"connects is yes or no"};
        }
        c.connects = w[1] == "yes";
    } else if (key == "gap") {
        if (w.size() == 4) {
            const long after = parse_ms(w[1]);
            if (after < 1) {
                throw SyntaxError{"gap N counts entries from 1"};
            }
            c.gaps[static_cast<std::size_t>(after)] = parse_range(w, 2);
        } else {
            c.gap = parse_range(w, 1);
        }
    } else if (key == "frame") {
        if (w.size() < 2) {
            throw SyntaxError{"frame needs its bytes"};
        }
        std::string entry = normalise_entry(w, 1);
        check_log_entry(entry);
        c.log.push_back(std::move(entry));
    } else if (key == "event") {
        want(2);
        if (!is_event(w[1])) {
            throw SyntaxError{"event is connect or disconnect"};
        }
        c.log.push_back(w[1]);
    } else if (key == "stdout:") {
        want(1);
        c.expected_stdout = read_block(in, line_no);
        c.has_stdout = true;
    } else if (key == "file" && (w.size() == 2 || (w.size() == 4 && w[2] == "repeat")) &&
               w[1].size() > 1 && w[1].back() == ':') {
        const std::string name = w[1].substr(0, w[1].size() - 1);
        if (name.find('/') != std::string::npos || name == "." || name == ".." ||
            name == link_name || name.rfind("sim.", 0) == 0 || name.rfind("tool.", 0) == 0) {
            throw SyntaxError{"file name '" + name + "' is not a plain name of the case's own"};
        }
        const long times = w.size() == 4 ? parse_ms(w[3]) : 1; // file NAME: repeat N
        const std::string block = read_block(in, line_no);
        std::string text;
        text.reserve(block.size() * static_cast<std::size_t>(times));
        for (long i = 0; i < times; ++i) {
            text += block;
        }
        c.files.emplace_back(name, std::move(text));
    } else {
        throw SyntaxError{"unknown keyword '" + key + "'"};
    }
}

Case parse_case(const fs::path& path)
{
    std::ifstream in(path);
    if (!in) {
        throw SyntaxError{path.string() + ": cannot read"};
    }
    Case c;
    c.name = path.stem().string();
    int line_no = 0;
    try {
        for (std::string line; std::getline(in, line);) {
            ++line_no;
            const std::string t = trim(line);
            if (t.empty() || t[0] == '#') {
                continue;
            }
            if (t.substr(0, t.find_first_of(" \t")) == "count") {
                c.counts.push_back(parse_count(t)); // its text may hold blanks and quotes
                continue;
            }
            parse_line(c, split_words(t), in, line_no);
        }
        if (!c.time) {
            throw SyntaxError{"every case gives its wall time: time MIN MAX"};
        }
        if (!c.has_stdout && c.counts.empty()) {
            throw SyntaxError{"every case gives its standard output: stdout: ... end (or counts "
                              "of texts in it: count N |TEXT$)"};
        }
        if (c.kill_after.has_value() != c.signal.has_value()) {
            throw SyntaxError{"kill-after goes with status signal TERM"};
        }
        const bool has_events = std::any_of(c.log.begin(), c.log.end(), is_event);
        if (has_events && !c.connects) {
            throw SyntaxError{"event lines need 'connects yes'"};
        }
        if (c.device != Device::sim && (!c.log.empty() || !c.sim_options.empty())) {
            throw SyntaxError{"frames and sim options need device sim"};
        }
    } catch (const SyntaxError& e) {
        throw SyntaxError{path.string() + ":" + std::to_string(line_no) + ": " + e.message};
    }
    return c;
}

// ---------------------------------------------------------------------------------------------
// Processes

struct Failures {
    std::vector<std::string> list;
    void add(std::string s) { list.push_back(std::move(s)); }
};

long ms_since(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string describe_status(int status)
{
    if (WIFEXITED(status)) {
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return std::string("killed by signal ") + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    }
    return "status " + std::to_string(status);
}

std::vector<char*> c_argv(std::vector<std::string>& words)
{
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    return argv;
}

// In the child: redirects fd to a file in the work directory (or /dev/null for an empty name).
void redirect(int fd, const std::string& file)
{
    const int to = file.empty() ? open("/dev/null", O_RDONLY)
                                : open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (to < 0 || dup2(to, fd) < 0) {
        _exit(126);
    }
    close(to);
}

// Starts argv in dir with stdin from /dev/null and stdout/stderr as given (stdout_fd >= 0:
// that descriptor; otherwise the file). The child dies with the runner, so a runner killed by
// ctest's timeout leaves no simulator behind.
pid_t spawn(std::vector<std::string> words, const fs::path& dir, int stdout_fd,
            const std::string& stdout_file, const std::string& stderr_file)
{
    auto argv = c_argv(words);
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (chdir(dir.c_str()) != 0) {
        _exit(126);
    }
    redirect(STDIN_FILENO, "");
    if (stdout_fd >= 0) {
        dup2(stdout_fd, STDOUT_FILENO);
        close(stdout_fd);
    } else {
        redirect(STDOUT_FILENO, stdout_file);
    }
    redirect(STDERR_FILENO, stderr_file);
    execvp(argv[0], argv.data());
    dprintf(STDERR_FILENO, "cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
}

// Waits up to ms for pid to end; returns its status, or nothing when it is still running.
std::optional<int> wait_for(pid_t pid, long ms)
{
    const auto start = Clock::now();
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return status;
        }
        if (r < 0 || ms_since(start) >= ms) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

bool link_present(const fs::path& link)
{
    struct stat st {};
    return lstat(link.c_str(), &st) == 0;
}

struct ToolRun {
    std::string out;
    int status = 0;
    long wall_ms = 0;
    bool timed_out = false;
    bool ended_before_kill = false;
};

// Runs the tool with its stdout on a pipe. Ends it with SIGTERM at kill_after (when given) and
// with SIGKILL at timeout_ms.
ToolRun run_tool(std::vector<std::string> command, const fs::path& dir, long timeout_ms,
                 std::optional<long> kill_after)
{
    ToolRun run;
    int pipe_fd[2];
    if (pipe2(pipe_fd, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe: " + std::string(strerror(errno)));
    }
    const auto start = Clock::now();
    const pid_t pid = spawn(std::move(command), dir, pipe_fd[1], "", "tool.err");
    close(pipe_fd[1]);
    if (pid < 0) {
        close(pipe_fd[0]);
        throw std::runtime_error("fork: " + std::string(strerror(errno)));
    }
    bool eof = false;
    bool exited = false;
    bool term_sent = false;
    bool kill_sent = false;
    while (!eof || !exited) {
        if (!eof) {
            pollfd p{pipe_fd[0], POLLIN, 0};
            if (poll(&p, 1, 2) > 0) {
                char buf[4096];
                const ssize_t n = read(pipe_fd[0], buf, sizeof buf);
                if (n > 0) {
                    run.out.append(buf, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    eof = true;
                }
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!exited && waitpid(pid, &run.status, WNOHANG) == pid) {
            exited = true;
            run.wall_ms = ms_since(start);
            if (kill_after && !term_sent) {
                run.ended_before_kill = true;
            }
        }
        const long now = ms_since(start);
        if (!exited && kill_after && !term_sent && now >= *kill_after) {
            kill(pid, SIGTERM);
            term_sent = true;
        }
        if (!exited && !kill_sent && now >= timeout_ms) {
            kill(pid, SIGKILL);
            kill_sent = true;
            run.timed_out = true;
        }
        if (exited && !eof && ms_since(start) > run.wall_ms + 2000) {
            break; // something else holds the pipe open; what was read is what the tool wrote
        }
    }
    close(pipe_fd[0]);
    return run;
}

// ---------------------------------------------------------------------------------------------
// Comparisons

// One output line as the case files write it, with blanks and tabs made visible.
std::string visible(std::string_view line)
{
    std::string out;
    for (const char ch : line) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == ' ') {
            out += "\u00b7";
        } else if (c == '\t') {
            out += "\u2192";
        } else if (c == '\n') {
            out += '$';
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    if (line.empty() || line.back() != '\n') {
        out += '\\';
    }
    return out;
}

// Lines with their own newline, so that a missing final newline is a difference too.
std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < text.size()) {
        const auto nl = text.find('\n', from);
        const auto end = nl == std::string::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(from, end - from));
        from = end;
    }
    return lines;
}

// A line diff (longest common subsequence; the outputs are a few dozen lines).
std::string diff(const std::string& expected, const std::string& actual)
{
    const auto a = split_lines(expected);
    const auto b = split_lines(actual);
    std::vector<std::vector<int>> lcs(a.size() + 1, std::vector<int>(b.size() + 1, 0));
    for (std::size_t i = a.size(); i-- > 0;) {
        for (std::size_t j = b.size(); j-- > 0;) {
            lcs[i][j] =
                a[i] == b[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
        }
    }
    std::string out;
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i] == b[j]) {
            out += "    |" + visible(a[i++]) + "\n";
            ++j;
        } else if (i < a.size() && (j == b.size() || lcs[i + 1][j] >= lcs[i][j + 1])) {
            out += "  - |" + visible(a[i++]) + "\n";
        } else {
            out += "  + |" + visible(b[j++]) + "\n";
        }
    }
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) {
        ++at;
    }
    out += "  (- expected, + actual; \u00b7 blank, $ newline, \\ no newline at the end; first "
           "difference at byte " +
           std::to_string(at) + ")\n";
    return out;
}

struct LogEntry {
    long ms = 0;
    std::string text;
};

std::vector<LogEntry> read_sim_log(const fs::path& path, bool with_events, Failures& f)
{
    std::vector<LogEntry> entries;
    std::ifstream in(path);
    if (!in) {
        f.add("the simulator wrote no log " + path.string());
        return entries;
    }
    std::string line;
    int line_no = 0;
    while (std::getline(in, line)) {
        ++line_no;
        const auto words = split_words(line);
        if (words.empty()) {
            continue;
        }
        LogEntry e;
        try {
            e.ms = parse_ms(words[0]);
            if (words.size() < 2) {
                throw SyntaxError{"no entry"};
            }
            e.text = normalise_entry(words, 1);
            if (!is_event(e.text)) {
                check_log_entry(e.text);
            }
        } catch (const SyntaxError& err) {
            f.add("sim.log:" + std::to_string(line_no) + ": unreadable line '" + line + "' (" +
                  err.message + ")");
            continue;
        }
        if (with_events || !is_event(e.text)) {
            entries.push_back(std::move(e));
        }
    }
    return entries;
}

void compare_log(const Case& c, const std::vector<LogEntry>& got, long allowance, Failures& f)
{
    std::vector<std::string> texts;
    texts.reserve(got.size());
    for (const auto& e : got) {
        texts.push_back(e.text);
    }
    if (texts != c.log) {
        std::string msg = "frames differ\n  expected:\n";
        for (const auto& e : c.log) {
            msg += "    " + e + "\n";
        }
        if (c.log.empty()) {
            msg += "    (none)\n";
        }
        msg += "  received by the simulator (ms since its start):\n";
        for (const auto& e : got) {
            msg += "    " + std::to_string(e.ms) + "  " + e.text + "\n";
        }
        if (got.empty()) {
            msg += "    (none)\n";
        }
        f.add(msg);
        return;
    }
    // Entry k + 1 against entry k, on the simulator's clock (events count when compared).
    for (std::size_t k = 1; k < got.size(); ++k) {
        const auto it = c.gaps.find(k);
        const std::optional<Range> want = it != c.gaps.end() ? std::optional(it->second) : c.gap;
        const long gap = got[k].ms - got[k - 1].ms;
        if (want && (gap < want->min || gap > want->max + allowance)) {
            f.add("entry " + std::to_string(k + 1) + " (" + got[k].text + ") came " +
                  std::to_string(gap) + " ms after entry " + std::to_string(k) + " (" +
                  got[k - 1].text + "), expected " + std::to_string(want->min) + " to " +
                  std::to_string(want->max + allowance) + " ms");
        }
    }
}

// ---------------------------------------------------------------------------------------------
// One case

struct Options {
    fs::path sim;
    fs::path work;
    fs::path case_file;
    long link_timeout = 5000;
    long start_allowance = 0; // added to the case's longest wall time and gaps: slow builds
    std::vector<std::string> tool;
};

void show_file(const fs::path& path, const char* what)
{
    const std::string text = read_file(path);
    if (!text.empty()) {
        std::printf("---- %s (%s):\n%s%s", what, path.c_str(), text.c_str(),
                    text.back() == '\n' ? "" : "\n");
    }
}

int run_case(const Case& c, const Options& o)
{
    Failures f;
    std::error_code ec;
    fs::remove_all(o.work, ec);
    fs::create_directories(o.work);
    for (const auto& [name, text] : c.files) {
        write_file(o.work / name, text);
    }

    pid_t sim = -1;
    if (c.device == Device::file) {
        write_file(o.work / link_name, "");
    } else if (c.device == Device::sim) {
        std::vector<std::string> argv{o.sim.string(), "--link", link_name, "--log", "sim.log"};
        argv.insert(argv.end(), c.sim_options.begin(), c.sim_options.end());
        sim = spawn(argv, o.work, -1, "sim.out", "sim.out");
        const auto start = Clock::now();
        while (!link_present(o.work / link_name)) {
            int status = 0;
            if (waitpid(sim, &status, WNOHANG) == sim) {
                std::printf("FAIL %s: the simulator ended before its link appeared (%s)\n",
                            c.name.c_str(), describe_status(status).c_str());
                show_file(o.work / "sim.out", "simulator output");
                return 1;
            }
            if (ms_since(start) > o.link_timeout) {
                kill(sim, SIGKILL);
                waitpid(sim, &status, 0);
                std::printf("FAIL %s: no link %s after %ld ms\n", c.name.c_str(), link_name,
                            o.link_timeout);
                show_file(o.work / "sim.out", "simulator output");
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    std::vector<std::string> command = o.tool;
    command.insert(command.end(), c.args.begin(), c.args.end());
    const long time_max = c.time->max + o.start_allowance;
    const long timeout = c.timeout.value_or(std::max(2 * time_max, time_max + 5000));
    const ToolRun run = run_tool(command, o.work, timeout, c.kill_after);
    write_file(o.work / "tool.out", run.out);

    if (sim > 0) {
        int status = 0;
        const bool sim_alive = waitpid(sim, &status, WNOHANG) == 0;
        if (!sim_alive) {
            f.add("the simulator ended while the tool ran (" + describe_status(status) + ")");
        } else {
            kill(sim, SIGTERM);
            const auto ended = wait_for(sim, 5000);
            if (!ended) {
                kill(sim, SIGKILL);
                waitpid(sim, &status, 0);
                f.add("the simulator did not end within 5 s of SIGTERM");
            } else if (!WIFEXITED(*ended) || WEXITSTATUS(*ended) != 0) {
                f.add("the simulator ended with " + describe_status(*ended) + " after SIGTERM");
            } else if (link_present(o.work / link_name)) {
                f.add("the simulator left its link behind");
            }
        }
        compare_log(c, read_sim_log(o.work / "sim.log", c.connects, f), o.start_allowance, f);
    }

    if (run.timed_out) {
        f.add("the tool did not end within " + std::to_string(timeout) + " ms and was killed");
    } else if (run.ended_before_kill) {
        f.add("the tool ended after " + std::to_string(run.wall_ms) +
              " ms, before it was to be killed at " + std::to_string(*c.kill_after) + " ms");
    }
    const bool status_ok = c.signal ? WIFSIGNALED(run.status) && WTERMSIG(run.status) == *c.signal
                                    : WIFEXITED(run.status) && WEXITSTATUS(run.status) == c.status;
    if (!status_ok && !run.timed_out) {
        f.add("the tool ended with " + describe_status(run.status) + ", expected " +
              (c.signal ? "killed by signal " + std::to_string(*c.signal)
                        : "exit status " + std::to_string(c.status)));
    }
    if (c.has_stdout && run.out != c.expected_stdout) {
        f.add("standard output differs\n" + diff(c.expected_stdout, run.out));
    }
    for (const auto& [text, times] : c.counts) {
        const std::size_t n = occurrences(run.out, text);
        if (n != times) {
            f.add("standard output holds |" + visible(text) + " " + std::to_string(n) +
                  " times, expected " + std::to_string(times));
        }
    }
    if (!run.timed_out && (run.wall_ms < c.time->min || run.wall_ms > time_max)) {
        f.add("the tool ran " + std::to_string(run.wall_ms) + " ms, expected " +
              std::to_string(c.time->min) + " to " + std::to_string(time_max) + " ms" +
              (o.start_allowance > 0
                   ? " (the case's " + std::to_string(c.time->max) + " ms + " +
                         std::to_string(o.start_allowance) + " ms start allowance of this build)"
                   : std::string()));
    }
    const std::string err = read_file(o.work / "tool.err");
    if (!err.empty()) {
        f.add("the tool wrote to standard error");
    }

    if (f.list.empty()) {
        std::printf("PASS %s (tool %ld ms)\n", c.name.c_str(), run.wall_ms);
        return 0;
    }
    std::printf("FAIL %s (tool %ld ms, work directory %s)\n", c.name.c_str(), run.wall_ms,
                o.work.c_str());
    for (const auto& msg : f.list) {
        std::printf("* %s%s", msg.c_str(), msg.back() == '\n' ? "" : "\n");
    }
    show_file(o.work / "tool.err", "tool standard error");
    if (sim > 0) {
        show_file(o.work / "sim.out", "simulator output");
    }
    return 1;
}

int usage()
{
    std::fprintf(stderr, "usage: e2e_runner --sim PATH --work DIR [--link-timeout MS] "
                         "[--start-allowance MS] CASE -- TOOL [ARGS...]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        const bool is_ms = a == "--link-timeout" || a == "--start-allowance";
        if ((a == "--sim" || a == "--work" || is_ms) && i + 1 < argc) {
            const char* v = argv[++i];
            long ms = 0;
            try {
                ms = is_ms ? parse_ms(v) : 0;
            } catch (const SyntaxError&) {
                return usage();
            }
            if (a == "--sim") {
                o.sim = v;
            } else if (a == "--work") {
                o.work = v;
            } else if (a == "--link-timeout") {
                o.link_timeout = ms;
            } else {
                o.start_allowance = ms;
            }
        } else if (!a.empty() && a[0] != '-' && o.case_file.empty()) {
            o.case_file = a;
        } else {
            return usage();
        }
    }
    o.tool.assign(argv + i, argv + argc);
    if (o.work.empty() || o.case_file.empty() || o.tool.empty()) {
        return usage();
    }
    // The processes run in the work directory: paths given relative to here must still hold.
    o.work = fs::absolute(o.work);
    if (!o.sim.empty()) {
        o.sim = fs::absolute(o.sim);
    }
    if (o.tool[0].find('/') != std::string::npos) {
        o.tool[0] = fs::absolute(o.tool[0]).string();
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // The simulator must answer, and the tool read the answer, within the tool's fixed waits,
    // and the frames' time stamps should not lag: on a busy machine (a parallel build, other
    // tests under qemu) the runner, the simulator and the tool go first. Best effort: only
    // root may raise a priority, and the cases hold without it on a quiet machine.
    setpriority(PRIO_PROCESS, 0, -10);
    try {
        const Case c = parse_case(o.case_file);
        if (c.device == Device::sim && access(o.sim.c_str(), X_OK) != 0) {
            std::printf("FAIL %s: no simulator to run at '%s'\n", c.name.c_str(), o.sim.c_str());
            return 1;
        }
        return run_case(c, o);
    } catch (const SyntaxError& e) {
        std::printf("case error: %s\n", e.message.c_str());
        return 2;
    } catch (const std::exception& e) {
        std::printf("runner error: %s\n", e.what());
        return 2;
    }
}
