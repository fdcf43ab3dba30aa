// The simulator's Remote Ethernet dispatch and SPEL+ interpreter against arbitrary lines: no
// crash, no exception escapes, every reply is one line of printable ASCII in one of the
// protocol's forms ("#Name,0", "#Name,\"<printed>\"", "#GetStatus,<11 flags>,<4 digits>",
// "!Name,<code>") whose printed values are finite numbers or True/False, every telemetry line
// is keys and finite numbers framed by ";" and one CR, and a motion that starts always ends
// with one reply of its command; an abort leaves no motion paused.
//
// Input: lines separated by LF. A line that starts with "$" goes as it is; any other line is
// wrapped into $Execute,"<line>" so that most inputs reach the interpreter. The session is
// logged in with the motors on; between lines the clock advances by the line's length in
// tens of milliseconds.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <cmath>
#include <regex>

#include "Controller.hpp"
#include "Dispatch.hpp"
#include "FuzzSupport.hpp"
#include "TelemetryText.hpp"

namespace {

using namespace epson::sim::detail;

// A value Print or telemetry writes: a plain decimal number that reads back finite, or a Boolean.
bool finiteNumber(const std::string& text) {
    static const std::regex kNumber(R"(-?[0-9]{1,12}(\.[0-9]{1,6})?)");
    return std::regex_match(text, kNumber) && std::isfinite(std::stod(text));
}

void checkReply(const std::string& reply, const std::string& line) {
    const std::string why = epson::fuzz::escaped(reply) + " <- " + epson::fuzz::escaped(line);
    // Short, so std::regex's recursion stays shallow; the echoed name is at most 64 characters.
    FUZZ_CHECK(reply.size() < 4096, why);
    for (const char c : reply) {
        FUZZ_CHECK(c >= 0x20 && c < 0x7f, why);
    }
    static const std::regex kForm(
        R"((#[!-+\--~]{1,64},0)|(![!-+\--~]{0,64},[0-9]{1,4})|(#GetStatus,[01]{11},[0-9]{4}))",
        std::regex::icase);  // the reply echoes the command as the client spelt it
    if (std::regex_match(reply, kForm)) {
        return;
    }
    const std::size_t quote = reply.find(",\"");
    FUZZ_CHECK(reply[0] == '#' && quote != std::string::npos && reply.back() == '"' &&
                   reply.size() >= quote + 3,
               why);
    const std::string printed = reply.substr(quote + 2, reply.size() - quote - 3);
    std::size_t begin = 0;
    while (begin <= printed.size() && !printed.empty()) {
        const std::size_t end = std::min(printed.find(',', begin), printed.size());
        const std::string value = printed.substr(begin, end - begin);
        FUZZ_CHECK(value == "True" || value == "False" || finiteNumber(value), why);
        begin = end + 1;
    }
}

void checkTelemetry(const Controller& controller, Clock::time_point now, const std::string& line) {
    const std::string text = telemetryLines(controller, now, true, true, false);
    const std::string why = epson::fuzz::escaped(text) + " after " + epson::fuzz::escaped(line);
    std::size_t lines = 0;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find('\r', begin);
        FUZZ_CHECK(end != std::string::npos, why);
        const std::string body = text.substr(begin, end - begin);
        std::size_t field = 0;
        while (field <= body.size()) {
            const std::size_t stop = std::min(body.find(';', field), body.size());
            const std::string pair = body.substr(field, stop - field);
            const std::size_t equals = pair.find('=');
            FUZZ_CHECK(
                equals != std::string::npos && equals > 0 && finiteNumber(pair.substr(equals + 1)),
                why);
            field = stop + 1;
        }
        ++lines;
        begin = end + 1;
    }
    FUZZ_CHECK(lines == 2, why);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) {
        return 0;  // the session closes longer lines before they reach the dispatch
    }
    Controller controller(epson::sim::MotionLimits{}, 1.0);
    bool loggedIn = false;
    const DispatchSettings settings{std::nullopt, size % 2 == 1};
    Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
    for (const char* setup : {"$Login", "$Execute,\"Motor On\""}) {
        dispatchLine(setup, controller, loggedIn, settings, now);
    }
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t begin = 0;
    bool motionPending = false;
    while (begin <= input.size()) {
        const std::size_t end = std::min(input.find('\n', begin), input.size());
        const std::string_view raw = input.substr(begin, end - begin);
        begin = end + 1;
        const std::string line = !raw.empty() && raw.front() == '$'
                                     ? std::string(raw)
                                     : "$Execute,\"" + std::string(raw) + "\"";
        const Dispatched result = dispatchLine(line, controller, loggedIn, settings, now);
        for (const auto& reply : result.replies) {
            checkReply(reply, line);
        }
        if (result.motion == MotionChange::Stopping) {
            // An abort leaves nothing paused: the arm ramps down, or stands and has ended.
            FUZZ_CHECK(controller.stopping() && !controller.paused(), line);
        }
        if (result.motion == MotionChange::Started) {
            FUZZ_CHECK(!motionPending, line);
            FUZZ_CHECK(result.replies.empty(), line);
            motionPending = true;
        }
        now += std::chrono::milliseconds(10 * static_cast<long>(raw.size()));
        if (const auto outcome = controller.completeMotion(now)) {
            FUZZ_CHECK(motionPending, line);
            checkReply(motionReply(*outcome), line);
            motionPending = false;
        }
        const auto joints = controller.joints(now);
        for (const double j : joints) {
            FUZZ_CHECK(j == j && j > -1e6 && j < 1e6, "joints went astray after " + line);
        }
        checkTelemetry(controller, now, line);
    }
    // Whatever runs ends: resumed if paused, it completes within its own duration.
    if (controller.moving()) {
        controller.resume(now);
        const auto end = controller.motionEnd();
        FUZZ_CHECK(end - now < std::chrono::hours(24), "a motion without a finite end");
        const auto outcome = controller.completeMotion(end);
        FUZZ_CHECK(outcome.has_value(), "the motion did not end at its end");
    }
    return 0;
}
