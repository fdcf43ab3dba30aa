// Status, power and motor commands, and the motion-control side path.

#include <climits>
#include <stdexcept>

#include "CellCommandLinkImpl.hpp"
#include "spel_text.hpp"

namespace epson {

namespace {

std::string powerWord(EpsonPowerMode mode) {
    switch (mode) {
        case EpsonPowerMode::LOW:
            return "Low";
        case EpsonPowerMode::HIGH:
            return "High";
    }
    throw std::invalid_argument("Unknown Epson power mode");
}

std::string lowerWithoutSpace(const std::string& text) {
    std::string result;
    for (const char c : text) {
        if (!spel::isSpace(c)) {
            result.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
        }
    }
    return result;
}

}  // namespace

bool CellCommandLink::Impl::isEmergencyStopped_() {
    const std::string text = executeAndGetResult_("Print EStopOn");
    if (const auto number = spel::readSingleInteger(text);
        number && *number >= INT_MIN && *number <= INT_MAX) {
        return *number != 0;
    }
    const std::string word = lowerWithoutSpace(text);
    if (word == "true") {
        return true;
    }
    if (word == "false") {
        return false;
    }
    throw std::runtime_error("Failed to parse EStopOn response as a Boolean: \"" + text + "\"");
}

ControllerStatus CellCommandLink::Impl::getControllerStatus() {
    static constexpr const char* kKeys[] = {"stat",           "system_error", "emergency_stopped",
                                            "safeguard_open", "teach_mode",   "control_device",
                                            "robot_info",     "ctrl_info"};
    static constexpr std::size_t kCount = std::size(kKeys);
    std::lock_guard lock(commandMutex_);
    const std::string text = executeAndGetResult_(
        "Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)");
    const auto tokens = spel::readTokens(text);
    if (tokens.size() != kCount) {
        throw std::runtime_error("Failed to parse controller status. Expected " +
                                 std::to_string(kCount) + " values, received " +
                                 std::to_string(tokens.size()) + ": \"" + text + "\"");
    }
    ControllerStatus status;
    for (std::size_t i = 0; i < kCount; ++i) {
        status[kKeys[i]] = parseControllerStatusValue_(tokens[i]);
    }
    return status;
}

EpsonPowerMode CellCommandLink::Impl::getPowerMode_() {
    const auto value = parseControllerStatusValue_(executeAndGetResult_("Print Power"));
    if (value == 0) {
        return EpsonPowerMode::LOW;
    }
    if (value == 1) {
        return EpsonPowerMode::HIGH;
    }
    throw std::runtime_error("Epson controller returned an invalid Power mode value: " +
                             std::to_string(value));
}

void CellCommandLink::Impl::setPowerMode_(EpsonPowerMode mode) {
    const std::string word = powerWord(mode);
    command_("$Execute,\"Power " + word + "\"", kCommandTimeout);
    if (getPowerMode_() != mode) {
        throw std::runtime_error("Epson controller did not enter Power " + word + " mode");
    }
}

PtpMotionLimits CellCommandLink::Impl::getPtpMotionLimits() {
    std::lock_guard lock(commandMutex_);
    const std::string text = executeAndGetResult_("Print AccelMax(1),AccelMax(2)");
    auto in = spel::resultStream(text);
    long long acceleration = 0;
    long long deceleration = 0;
    const bool read = static_cast<bool>(in >> acceleration >> deceleration);
    in >> std::ws;
    const auto valid = [](long long v) { return v >= 1 && v <= INT32_MAX; };
    if (!read || !in.eof() || !valid(acceleration) || !valid(deceleration)) {
        throw std::runtime_error(
            "Failed to parse positive AccelMax limits from Epson controller: \"" + text + "\"");
    }
    return PtpMotionLimits{100, static_cast<std::int32_t>(acceleration),
                           static_cast<std::int32_t>(deceleration)};
}

void CellCommandLink::Impl::motorOn_() {
    try {
        command_("$Execute,\"Motor On\"", kCommandTimeout);
    } catch (const std::exception& error) {
        motorOnError_ = error.what();
        throw;
    }
    motorsOn_ = true;
    motorOnError_.clear();
}

void CellCommandLink::Impl::motorOff_() {
    command_("$Execute,\"Motor Off\"", kCommandTimeout);
    motorsOn_ = false;
}

void CellCommandLink::Impl::resetController_() {
    command_("$Execute,\"Reset\"", kCommandTimeout);
}

void CellCommandLink::Impl::sendMotionControlCommand_(const std::string& command) {
    if (motionInProgress_) {
        std::unique_lock pending(pendingMutex_);
        // The end of a motion clears the flag under pendingMutex_, so a command written from
        // here always has a motion reader to take its reply.
        if (motionInProgress_) {
            if (!pendingPrefix_.empty()) {
                throw std::runtime_error("Another Epson motion-control command is pending");
            }
            const std::string prefix = expectedEcho(command);
            pendingPrefix_ = prefix;
            pendingResponse_.clear();
            pendingDeadline_ = std::chrono::steady_clock::now() + kControlReplyTimeout;
            try {
                writeLine_(command);
            } catch (...) {
                pendingPrefix_.clear();
                throw;
            }
            pendingCondition_.wait_until(pending, pendingDeadline_,
                                         [this] { return !pendingResponse_.empty(); });
            const std::string reply = std::move(pendingResponse_);
            pendingPrefix_.clear();
            pendingResponse_.clear();
            if (reply.empty()) {
                if (motionInProgress_) {
                    lateControlPrefixes_.push_back(prefix);
                }
                throw std::runtime_error("Timed out waiting for Epson response to " + command);
            }
            parseResponse_(reply, command);
            return;
        }
    }
    std::lock_guard lock(commandMutex_);
    command_(command, kCommandTimeout);
}

bool CellCommandLink::isEmergencyStopped() {
    std::lock_guard lock(impl_->commandMutex_);
    return impl_->isEmergencyStopped_();
}

ControllerStatus CellCommandLink::getControllerStatus() {
    return impl_->getControllerStatus();
}

EpsonPowerMode CellCommandLink::getPowerMode() {
    std::lock_guard lock(impl_->commandMutex_);
    return impl_->getPowerMode_();
}

void CellCommandLink::setPowerMode(EpsonPowerMode mode) {
    powerWord(mode);  // an unknown mode is refused without waiting for the connection
    std::lock_guard lock(impl_->commandMutex_);
    impl_->setPowerMode_(mode);
}

PtpMotionLimits CellCommandLink::getPtpMotionLimits() {
    return impl_->getPtpMotionLimits();
}

void CellCommandLink::motorOn() {
    std::lock_guard lock(impl_->commandMutex_);
    impl_->motorOn_();
}

void CellCommandLink::motorOff() {
    std::lock_guard lock(impl_->commandMutex_);
    impl_->motorOff_();
}

void CellCommandLink::resetController() {
    std::lock_guard lock(impl_->commandMutex_);
    impl_->resetController_();
}

void CellCommandLink::pause() {
    impl_->sendMotionControlCommand_("$Pause");
}

void CellCommandLink::continueMotion() {
    impl_->sendMotionControlCommand_("$Continue");
}

}  // namespace epson
