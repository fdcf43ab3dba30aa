// Status, power and motor commands, and the motion-control side path.

#include <stdexcept>
#include <thread>
#include <utility>

#include "CellCommandLinkImpl.hpp"
#include "results.hpp"

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

}  // namespace

bool CellCommandLink::Impl::isEmergencyStopped_() {
    return results::parseEmergencyStop(executeAndGetResult_("Print EStopOn"));
}

ControllerStatus CellCommandLink::Impl::getControllerStatus() {
    std::lock_guard lock(commandMutex_);
    return results::parseControllerStatus(executeAndGetResult_(
        "Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)"));
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
    return results::parsePtpMotionLimits(executeAndGetResult_("Print AccelMax(1),AccelMax(2)"));
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
    for (;;) {
        if (motionInProgress_) {
            std::unique_lock pending(pendingMutex_);
            // The end of a motion clears the flag under pendingMutex_, so a command written
            // from here always has the motion's reader, or after it its own reads, for its reply.
            if (motionInProgress_) {
                sendBesideMotion_(command, pending);
                return;
            }
        }
        // Polled rather than waited for: a motion that takes the lock first is then joined
        // through the side path instead of being waited out, which for "$Abort" is the point.
        std::unique_lock lock(commandMutex_, std::try_to_lock);
        if (lock.owns_lock()) {
            {
                // One written beside the motion that just ended may still wait for its reply;
                // a second of the same name would take that reply as its own.
                std::lock_guard pending(pendingMutex_);
                if (!pendingPrefix_.empty()) {
                    throw std::runtime_error("Another Epson motion-control command is pending");
                }
            }
            command_(command, kCommandTimeout);
            return;
        }
        std::this_thread::sleep_for(kControlLockPoll);
    }
}

void CellCommandLink::Impl::sendBesideMotion_(const std::string& command,
                                              std::unique_lock<std::mutex>& pending) {
    if (!pendingPrefix_.empty()) {
        throw std::runtime_error("Another Epson motion-control command is pending");
    }
    if (!connected_) {
        // The motion's reader has given the connection up and the motion is about to end.
        throw NotConnectedError("command() was called but socket not connected");
    }
    const std::string prefix = expectedEcho(command);
    pendingPrefix_ = prefix;
    pendingResponse_.clear();
    pendingFailure_.reset();
    pendingDeadline_ = Clock::now() + kControlReplyTimeout;
    try {
        writeLine_(command);
    } catch (...) {
        pendingPrefix_.clear();
        throw;
    }
    const auto settled = [this] {
        return !pendingResponse_.empty() || pendingFailure_.has_value();
    };
    while (!settled() && Clock::now() < pendingDeadline_) {
        const auto slice = std::min(pendingDeadline_, Clock::now() + kOwedReplySlice);
        if (motionInProgress_) {
            pendingCondition_.wait_until(pending, slice, settled);  // the motion's reader
            continue;
        }
        // The motion has ended, perhaps before its reader saw this reply: read for it whenever
        // the connection is free. Between slices other commands may go, and their reply loops
        // hand it across just the same.
        pending.unlock();
        readOwedReply_(slice);
        pending.lock();
        if (!settled()) {
            pendingCondition_.wait_until(
                pending, std::min(pendingDeadline_, Clock::now() + kControlLockPoll), settled);
        }
    }
    const std::string reply = std::exchange(pendingResponse_, {});
    const std::optional<std::string> failure = std::exchange(pendingFailure_, std::nullopt);
    pendingPrefix_.clear();
    if (reply.empty() && !failure) {
        // The reply may still come; whoever reads it then must know it is nobody's.
        lateControlPrefixes_.push_back(prefix);
        lateReplyCount_ = lateControlPrefixes_.size();
    }
    if (failure) {
        throw ConnectionLostError(*failure);
    }
    if (reply.empty()) {
        throw std::runtime_error("Timed out waiting for Epson response to " + command);
    }
    parseResponse_(reply, command);
}

void CellCommandLink::Impl::readOwedReply_(Clock::time_point deadline) noexcept {
    std::unique_lock lock(commandMutex_, std::try_to_lock);
    if (!lock.owns_lock() || !connected_) {
        return;
    }
    // With the command lock held nothing else is in flight: a line is the pending command's,
    // one owed to a control command that gave up, or nobody's.
    try {
        if (waitForLine_(deadline)) {
            std::string line = readReplyLine_(kCommandTimeout);
            if (!line.empty() && !dropLateReply_(line)) {
                handOverToControlCommand_(line, "");
            }
        }
    } catch (const std::exception&) {
        // The connection was given up, which has already failed the pending command.
    }
}

void CellCommandLink::Impl::abortMotion() {
    abortRequests_.fetch_add(1);
    sendMotionControlCommand_("$Abort");
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

void CellCommandLink::abortMotion() {
    impl_->abortMotion();
}

}  // namespace epson
