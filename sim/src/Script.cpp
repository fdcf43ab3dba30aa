#include "epson_sim/Script.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "sim_text.hpp"

namespace epson::sim {
namespace {

[[noreturn]] void bad(const std::string& why) {
    throw std::invalid_argument(why);
}

// A word as an error quotes it: printable ASCII and at most 64 characters, so that the answer
// stays one short line whatever the word held (the control channel answers each directive with
// exactly one line).
std::string quoted(std::string_view word) {
    std::string text = "\"";
    for (const char c : word.substr(0, 64)) {
        text += c >= ' ' && c < 0x7f && c != '"' ? c : '?';
    }
    return text + (word.size() > 64 ? "...\"" : "\"");
}

std::vector<std::string> words(std::string_view line) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
            ++i;
            continue;
        }
        std::string word;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                const char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c != '\\' || i == line.size()) {
                    word += c;
                    continue;
                }
                const char e = line[i++];
                word += e == 'r' ? '\r' : e == 'n' ? '\n' : e == 't' ? '\t' : e;
            }
            if (!closed) {
                bad("unterminated quotes");
            }
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
                word += line[i++];
            }
        }
        out.push_back(std::move(word));
    }
    return out;
}

double number(const std::string& text) {
    const auto value = detail::parseReal(text);
    if (!value || !std::isfinite(*value)) {
        bad("not a number: " + quoted(text));
    }
    return *value;
}

int integer(const std::string& text) {
    const double value = number(text);
    if (std::floor(value) != value || std::abs(value) > 2e9) {
        bad("not an integer: " + quoted(text));
    }
    return static_cast<int>(value);
}

bool onOff(const std::string& text) {
    if (text == "on") {
        return true;
    }
    if (text == "off") {
        return false;
    }
    bad("expected on or off, got " + quoted(text));
}

std::array<double, 6> six(const std::vector<std::string>& w, std::size_t first) {
    if (w.size() != first + 6) {
        bad(w[0] + " takes six numbers");
    }
    std::array<double, 6> values{};
    for (std::size_t i = 0; i < 6; ++i) {
        values[i] = number(w[first + i]);
    }
    return values;
}

// The options after a rule's fixed words: times=N, regex, raw, rst.
struct RuleOptions {
    std::optional<int> times;  // empty: every match; a negative count is refused by the rule
    MatchMode mode = MatchMode::Substring;
    bool raw = false;
    bool rst = false;
};

RuleOptions ruleOptions(const std::vector<std::string>& w, std::size_t first, bool rawAllowed,
                        bool rstAllowed) {
    RuleOptions o;
    for (std::size_t i = first; i < w.size(); ++i) {
        if (w[i].rfind("times=", 0) == 0) {
            o.times = integer(w[i].substr(6));
        } else if (w[i] == "regex") {
            o.mode = MatchMode::Regex;
        } else if (w[i] == "raw" && rawAllowed) {
            o.raw = true;
        } else if (w[i] == "rst" && rstAllowed) {
            o.rst = true;
        } else {
            bad("unexpected " + quoted(w[i]));
        }
    }
    return o;
}

void need(const std::vector<std::string>& w, std::size_t count) {
    if (w.size() < count) {
        bad(w[0] + " needs " + std::to_string(count - 1) + " argument(s)");
    }
}

void exactly(const std::vector<std::string>& w, std::size_t count) {
    if (w.size() != count) {
        bad(w[0] + " takes " + std::to_string(count - 1) + " argument(s)");
    }
}

}  // namespace

std::chrono::milliseconds toMilliseconds(double seconds, std::string_view what) {
    constexpr double kYear = 365.0 * 86400.0;  // bounds every delay: no overflow below
    if (!(seconds >= 0.0 && seconds <= kYear)) {
        bad(std::string(what) + " must be a number of seconds between 0 and a year");
    }
    const auto milliseconds = std::chrono::milliseconds(std::llround(seconds * 1000.0));
    return seconds > 0.0 ? std::max(milliseconds, std::chrono::milliseconds(1)) : milliseconds;
}

namespace {
constexpr std::pair<TelemetryMode, const char*> kTelemetryModes[] = {
    {TelemetryMode::Normal, "normal"},   {TelemetryMode::Silent, "silent"},
    {TelemetryMode::Closed, "closed"},   {TelemetryMode::Refused, "refused"},
    {TelemetryMode::Garbled, "garbled"}, {TelemetryMode::StatusOnly, "status-only"},
};
}  // namespace

TelemetryMode parseTelemetryMode(std::string_view name) {
    for (const auto& [mode, text] : kTelemetryModes) {
        if (name == text) {
            return mode;
        }
    }
    bad("telemetry mode must be one of normal, silent, closed, refused, garbled, status-only; "
        "got " +
        quoted(name));
}

StatusWord parseStatusWord(std::string_view name) {
    std::string key;
    for (const char c : name) {
        if (c != '_' && c != '-') {
            key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    if (key == "stat") {
        return StatusWord::Stat;
    }
    if (key == "robotinfo") {
        return StatusWord::RobotInfo;
    }
    if (key == "ctrlinfo") {
        return StatusWord::CtrlInfo;
    }
    bad("status word must be stat, robot_info or ctrl_info; got " + quoted(name));
}

const char* telemetryModeName(TelemetryMode mode) {
    for (const auto& [candidate, text] : kTelemetryModes) {
        if (candidate == mode) {
            return text;
        }
    }
    return "normal";
}

std::string runScriptLine(Simulator& sim, std::string_view line) {
    const auto w = words(line);
    if (w.empty() || w[0].empty() || w[0].front() == '#') {
        return "ok: nothing to do";
    }
    const std::string& d = w[0];
    if (d == "delay") {
        need(w, 3);
        const auto o = ruleOptions(w, 3, false, false);
        sim.delayReply(w[1], toMilliseconds(number(w[2]), "delay"), o.mode, o.times);
    } else if (d == "answer" || d == "execute-then-answer") {
        need(w, 3);
        const auto o = ruleOptions(w, 3, true, false);
        std::invoke(d == "answer" ? &Simulator::answer : &Simulator::executeThenAnswer, sim, w[1],
                    w[2], o.mode, o.times, o.raw);
    } else if (d == "silent") {
        need(w, 2);
        const auto o = ruleOptions(w, 2, false, false);
        sim.goSilent(w[1], o.mode, o.times);
    } else if (d == "drop" || d == "execute-then-drop") {
        need(w, 2);
        const auto o = ruleOptions(w, 2, false, true);
        std::invoke(d == "drop" ? &Simulator::dropConnection : &Simulator::executeThenDrop, sim,
                    w[1], o.mode, o.times, o.rst);
    } else if (d == "split") {
        need(w, 2);
        if (w.size() > 3) {
            bad("split takes a count and a gap");
        }
        sim.splitReplies(integer(w[1]), w.size() > 2 ? toMilliseconds(number(w[2]), "gap")
                                                     : std::chrono::milliseconds(5));
    } else if (d == "coalesce") {
        exactly(w, 2);
        sim.coalesceReplies(onOff(w[1]));
    } else if (d == "clear-rules") {
        exactly(w, 1);
        sim.clearRules();
    } else if (d == "emergency-stop") {
        exactly(w, 2);
        sim.setEmergencyStop(onOff(w[1]));
    } else if (d == "safeguard") {
        exactly(w, 2);
        sim.setSafeguardOpen(onOff(w[1]));
    } else if (d == "teach-mode") {
        exactly(w, 2);
        sim.setTeachMode(onOff(w[1]));
    } else if (d == "telemetry") {
        exactly(w, 2);
        sim.setTelemetryMode(parseTelemetryMode(w[1]));
    } else if (d == "telemetry-raw") {
        exactly(w, 2);
        sim.sendTelemetryRaw(w[1]);
    } else if (d == "drop-command-connection") {
        if (w.size() > 2 || (w.size() == 2 && w[1] != "rst")) {
            bad("drop-command-connection takes only rst");
        }
        if (!sim.dropCommandConnection(w.size() == 2)) {
            throw std::logic_error("no command client is connected");
        }
    } else if (d == "command-connections") {
        exactly(w, 2);
        if (w[1] != "accept" && w[1] != "refuse") {
            bad("expected accept or refuse");
        }
        sim.setCommandConnectionsRefused(w[1] == "refuse");
    } else if (d == "strict-execute") {
        exactly(w, 2);
        sim.setStrictExecute(onOff(w[1]));
    } else if (d == "fail-motion") {
        exactly(w, 2);
        if (!sim.failMotion(integer(w[1]))) {
            throw std::logic_error("no motion is running");
        }
        return "ok: the motion ended with " + w[1];
    } else if (d == "system-error") {
        exactly(w, 2);
        sim.setSystemError(integer(w[1]));
    } else if (d == "status") {
        exactly(w, 3);
        const StatusWord word = parseStatusWord(w[1]);
        sim.setStatusOverride(
            word, w[2] == "auto" ? std::nullopt : std::optional<std::int64_t>(integer(w[2])));
    } else if (d == "input") {
        exactly(w, 3);
        sim.setInput(integer(w[1]), onOff(w[2]));
    } else if (d == "output") {
        exactly(w, 2);
        return sim.output(integer(w[1])) ? "ok: on" : "ok: off";
    } else if (d == "tie-input") {
        if (w.size() != 4 && !(w.size() == 5 && w[4] == "inverted")) {
            bad("tie-input OUTPUT INPUT SECONDS [inverted]");
        }
        sim.tieInput(integer(w[1]), integer(w[2]), toMilliseconds(number(w[3]), "delay"),
                    w.size() == 5);
    } else if (d == "clear-input-ties") {
        exactly(w, 1);
        sim.clearInputTies();
    } else if (d == "point" || d == "joint-point") {
        need(w, 2);
        const auto values = six(w, 2);
        d == "point" ? sim.setPoint(w[1], values) : sim.setJointPoint(w[1], values);
    } else if (d == "joints") {
        sim.setJoints(six(w, 1));
    } else if (d == "log-capacity") {
        exactly(w, 2);
        const int lines = integer(w[1]);
        if (lines < 1) {
            bad("the command log capacity must be between 1 and 10000000 lines");
        }
        sim.setLogCapacity(static_cast<std::size_t>(lines));
    } else if (d == "clear-log") {
        exactly(w, 1);
        sim.clearLog();
    } else {
        bad("unknown directive " + quoted(d));
    }
    return "ok";
}

void runScript(Simulator& sim, std::string_view text) {
    // Editors on some systems begin a UTF-8 file with a byte-order mark; it is not a directive.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());
    }
    std::size_t number = 0;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        ++number;
        try {
            runScriptLine(sim, text.substr(begin, end - begin));
        } catch (const std::exception& e) {
            throw std::invalid_argument("line " + std::to_string(number) + ": " + e.what());
        }
        begin = end + 1;
    }
}

}  // namespace epson::sim
