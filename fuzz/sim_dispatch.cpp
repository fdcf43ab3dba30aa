// The simulator's Remote Ethernet dispatch and SPEL+ interpreter against arbitrary lines: no
// crash, no exception escapes, every reply is one well-formed line, and a motion that starts
// always ends with one reply of its command.
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

#include "Controller.hpp"
#include "Dispatch.hpp"
#include "FuzzSupport.hpp"

namespace {

using namespace epson::sim::detail;

void checkReply(const std::string& reply, const std::string& line) {
    FUZZ_CHECK(!reply.empty() && (reply[0] == '#' || reply[0] == '!'), reply + " <- " + line);
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
