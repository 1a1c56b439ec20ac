#include "script.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>

#include "device.hpp"

namespace sim {
namespace {

std::vector<std::string> split_words(std::string_view line)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
        }
        if (i > start) {
            words.emplace_back(line.substr(start, i - start));
        }
    }
    return words;
}

std::uint64_t number(const std::string& word, std::uint64_t max, const char* what)
{
    std::uint64_t v = 0;
    if (!parse_uint(word, max, v)) {
        throw ScriptError(std::string("bad ") + what + " '" + word + "'");
    }
    return v;
}

std::uint8_t hex_byte(const std::string& word)
{
    std::uint8_t v = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v, 16);
    if (word.empty() || word.size() > 2 || ec != std::errc{} || end != word.data() + word.size()) {
        throw ScriptError("bad hex byte '" + word + "'");
    }
    return v;
}

Bytes hex_bytes(const std::vector<std::string>& words, std::size_t from)
{
    Bytes out;
    for (std::size_t i = from; i < words.size(); ++i) {
        out.push_back(hex_byte(words[i]));
    }
    return out;
}

void want_values(const std::vector<std::string>& w, std::size_t min, std::size_t max)
{
    if (w.size() - 1 < min || w.size() - 1 > max) {
        throw ScriptError("report " + w[0] + " takes " + std::to_string(min) +
                          (min == max ? "" : " to " + std::to_string(max)) + " value(s)");
    }
}

} // namespace

Bytes build_report(const std::vector<std::string>& w)
{
    if (w.empty()) {
        throw ScriptError("report without a name");
    }
    const std::string& name = w[0];
    if (name == "key") {
        want_values(w, 1, 1);
        return report_key(static_cast<std::uint8_t>(number(w[1], 0xFF, "key state")));
    }
    if (name == "power") {
        want_values(w, 1, 1);
        char* end = nullptr;
        errno = 0;
        const float v = std::strtof(w[1].c_str(), &end);
        if (*end != '\0' || errno != 0) {
            throw ScriptError("bad power '" + w[1] + "'");
        }
        return report_power(v);
    }
    if (name == "ir") {
        want_values(w, 1, 1);
        const std::uint32_t v =
            w[1] == "success" ? ir_test_success
            : w[1] == "fail"  ? ir_test_fail
                              : static_cast<std::uint32_t>(number(w[1], 0xFFFFFF, "IR test value"));
        return report_ir_test(v);
    }
    if (name == "rs485") {
        want_values(w, 0, 1);
        const std::string text = w.size() > 1 ? w[1] : "Receive";
        if (text.size() > 246) {
            throw ScriptError("RS485 text longer than 246 characters");
        }
        return report_rs485(text);
    }
    if (name == "learn") {
        want_values(w, 3, 3);
        if (w[3].size() > 249) {
            throw ScriptError("Base64 text longer than 249 characters");
        }
        return report_ir_learning(static_cast<std::uint8_t>(number(w[1], 0xFF, "total")),
                                  static_cast<std::uint8_t>(number(w[2], 0xFF, "index")), w[3]);
    }
    throw ScriptError("unknown report '" + name + "' (key, power, ir, rs485, learn)");
}

Step parse_step(std::string_view line)
{
    const auto w = split_words(line);
    if (w.size() < 2) {
        throw ScriptError("a step is <ms> and what to send");
    }
    Step step{static_cast<std::int64_t>(number(w[0], 86'400'000, "time")), {}};
    if (w[1] == "frame") {
        if (w.size() < 3) {
            throw ScriptError("frame needs a code");
        }
        const Bytes payload = hex_bytes(w, 3);
        if (payload.size() > 251) {
            throw ScriptError("frame payload longer than 251 bytes");
        }
        step.bytes = build_reply(0, hex_byte(w[2]), payload);
    } else if (w[1] == "report") {
        step.bytes = build_report({w.begin() + 2, w.end()});
    } else {
        step.bytes = hex_bytes(w, 1);
    }
    return step;
}

std::vector<Step> parse_script(std::string_view text)
{
    std::vector<Step> steps;
    int line_no = 0;
    while (!text.empty()) {
        ++line_no;
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        line = line.substr(0, line.find('#'));
        if (split_words(line).empty()) {
            continue;
        }
        try {
            steps.push_back(parse_step(line));
        } catch (const ScriptError& e) {
            throw ScriptError("line " + std::to_string(line_no) + ": " + e.what());
        }
    }
    std::stable_sort(steps.begin(), steps.end(),
                     [](const Step& a, const Step& b) { return a.ms < b.ms; });
    return steps;
}

std::string report_option_line(std::string_view option)
{
    const auto eq = option.find('=');
    const auto at = option.rfind('@');
    if (eq == std::string_view::npos || at == std::string_view::npos || at < eq || eq == 0) {
        throw ScriptError("'" + std::string(option) + "' is not NAME=V1,V2,...@MS");
    }
    std::string values(option.substr(eq + 1, at - eq - 1));
    std::replace(values.begin(), values.end(), ',', ' ');
    return std::string(option.substr(at + 1)) + " report " + std::string(option.substr(0, eq)) +
           " " + values;
}

std::string script_help()
{
    return "  <ms> <hex bytes...>               raw bytes as given\n"
           "  <ms> frame <code> [hex bytes...]  reply frame, head byte 0, correct checksum\n"
           "  <ms> report key <state>           0x33 key SW1 state\n"
           "  <ms> report power <watts>         0x58 power, float\n"
           "  <ms> report ir success|fail|<n>   0x75 IR test, 24 bits (00 17 BB / 00 17 BA)\n"
           "  <ms> report rs485 [text]          0x91 RS485 text + zero byte (default Receive)\n"
           "  <ms> report learn <total> <index> <base64>   0x9E IR learning fragment\n"
           "  '#' starts a comment; <ms> counts from the tool's open of the port.\n";
}

} // namespace sim
