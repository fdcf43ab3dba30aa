#include "Dispatch.hpp"

#include <cstdio>
#include <exception>

#include "Spel.hpp"
#include "sim_text.hpp"

namespace epson::sim::detail {

std::string motionReply(const MotionOutcome& outcome) {
    return outcome.code == 0 ? "#" + outcome.replyName + ",0"
                             : "!" + outcome.replyName + "," + std::to_string(outcome.code);
}

std::string statusReply(const std::string& name, const Controller& c) {
    const bool error = c.systemError != 0;
    const bool ready = !c.moving() && !error && !c.emergencyStop;
    const bool flags[] = {
        false,           c.teachMode, !c.teachMode, false,      false, c.safeguardOpen,
        c.emergencyStop, error,       c.paused(),   c.moving(), ready};
    std::string bits;
    for (const bool flag : flags) {
        bits += flag ? '1' : '0';
    }
    char code[16];
    std::snprintf(code, sizeof code, "%04d", c.systemError % 10000);
    return "#" + name + "," + bits + "," + code;
}

Dispatched dispatchLine(const std::string& line, Controller& controller, bool& loggedIn,
                        const DispatchSettings& settings, Clock::time_point now) {
    Dispatched out;
    const auto reply = [&](std::string text) { out.replies.push_back(std::move(text)); };
    if (line.empty() || line.front() != '$') {
        out.refusal = "no leading $";
        reply("!" + echoName(line.substr(0, line.find(','))) + "," +
              std::to_string(reply_code::kNoDollar));
        return out;
    }
    const std::size_t comma = line.find(',');
    const std::string name = line.substr(1, comma == std::string::npos ? comma : comma - 1);
    const std::optional<std::string> params =
        comma == std::string::npos ? std::nullopt : std::optional(line.substr(comma + 1));
    const std::string command = toUpper(name);

    const auto error = [&](int code, const std::string& why) {
        out.refusal = why;
        reply("!" + echoName(name) + "," + std::to_string(code));
        return out;
    };
    const auto ok = [&] {
        reply("#" + name + ",0");
        return out;
    };

    if (command != "LOGIN" && !loggedIn) {
        return error(reply_code::kUnknownCommand, "not logged in");
    }
    if (controller.moving()) {
        // Abort and GetStatus pass on every controller generation; the others that pass here
        // do so only where the controller is not strict about a running Execute. A new session
        // may log in while a lost one's motion runs, so that it can continue or wait for it.
        const bool always = command == "ABORT" || command == "GETSTATUS";
        const bool lenient = command == "PAUSE" || command == "CONTINUE" || command == "LOGIN";
        if (!always && (settings.strictExecute || !lenient)) {
            return error(reply_code::kAlreadyExecuting, "a motion is executing");
        }
    }
    const bool takesNoParameters = command == "LOGOUT" || command == "PAUSE" ||
                                   command == "CONTINUE" || command == "ABORT" ||
                                   command == "GETSTATUS";
    if (takesNoParameters && params) {
        return error(reply_code::kBadFormat, "no parameters expected");
    }
    if (command == "LOGIN") {
        if (settings.password && params.value_or("") != *settings.password) {
            return error(reply_code::kWrongPassword, "wrong password");
        }
        loggedIn = true;
        return ok();
    }
    if (command == "LOGOUT") {
        loggedIn = false;
        return ok();
    }
    if (command == "PAUSE") {
        if (!controller.moving() || controller.paused()) {
            return error(reply_code::kNotReady, "nothing runs that could pause");
        }
        controller.pause(now);
        out.motion = MotionChange::Paused;
        return ok();
    }
    if (command == "CONTINUE") {
        if (!controller.paused()) {
            return error(reply_code::kNotReady, "nothing is paused");
        }
        controller.resume(now);
        out.motion = MotionChange::Resumed;
        return ok();
    }
    if (command == "ABORT") {
        if (controller.moving()) {
            controller.stopMotion(now, reply_code::kAborted);
            out.motion = MotionChange::Stopping;
        }
        return ok();
    }
    if (command == "GETSTATUS") {
        reply(statusReply(name, controller));
        return out;
    }
    if (command != "EXECUTE") {
        return error(reply_code::kUnknownCommand, "unknown command");
    }
    if (!params || params->size() < 2 || params->front() != '"' || params->back() != '"') {
        return error(reply_code::kBadFormat, "the statement must be one double-quoted text");
    }
    try {
        auto result = execute(controller, params->substr(1, params->size() - 2), now);
        if (result.motion) {
            controller.startMotion(std::move(*result.motion), now, name);
            controller.checkConditions(now);
            out.motion = MotionChange::Started;
            return out;
        }
        if (result.printed) {
            reply("#" + name + ",\"" + *result.printed + "\"");
            return out;
        }
        return ok();
    } catch (const CommandError& e) {
        return error(e.code(), e.what());
    } catch (const std::exception& e) {
        // Whatever slipped through the interpreter is the controller's fault, not a crash.
        return error(reply_code::kSystemError, e.what());
    }
}

}  // namespace epson::sim::detail
