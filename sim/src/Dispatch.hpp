#pragma once

// The Remote Ethernet command set as a function: one command line and the controller state in,
// the reply lines and what the server must do about the motion out. No sockets, no clocks of
// its own, so that tests and the fuzzer can drive it directly.

#include <optional>
#include <string>
#include <vector>

#include "Controller.hpp"

namespace epson::sim::detail {

struct DispatchSettings {
    std::optional<std::string> password;  // empty: any password logs in
    bool strictExecute = false;           // only $Abort and $GetStatus while $Execute runs
};

enum class MotionChange {
    None,
    Started,  // a motion statement started; its reply comes when it ends
    Paused,   // the motion timer must stop
    Resumed,  // the motion's end moved: re-arm the timer
    Stopping,
};

struct Dispatched {
    std::vector<std::string> replies;  // lines without CR LF, in order
    MotionChange motion = MotionChange::None;
    std::string refusal;  // why an error reply was sent ("" when none was)
};

// Caller holds the controller's lock; loggedIn is the connection's login state.
Dispatched dispatchLine(const std::string& line, Controller& controller, bool& loggedIn,
                        const DispatchSettings& settings, Clock::time_point now);

// The reply that a motion's end sends.
std::string motionReply(const MotionOutcome& outcome);

// "#GetStatus,<11 flags>,<4-digit error>": Test, Teach, Auto, Warning, SError, Safeguard,
// EStop, Error, Paused, Running, Ready, each 1 or 0.
std::string statusReply(const std::string& name, const Controller& controller);

}  // namespace epson::sim::detail
