// Status, power and motor commands, and the motion-control side path.

#include <sys/socket.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

#include "CellCommandLinkImpl.hpp"
#include "epson/errors.hpp"
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

namespace {

/// Pause and continue refuse to go while the other waits for its reply.
bool exclusiveControl(const std::string& command) {
    return command == "$Pause" || command == "$Continue";
}

std::string controlTimeoutMessage(const std::string& command) {
    return "Timed out waiting for Epson response to " + command;
}

}  // namespace

std::string CellCommandLink::Impl::sendMotionControlCommand_(const std::string& command) {
    for (;;) {
        if (motionInProgress_) {
            if (auto reply = trySendBesideMotion_(command, Clock::now() + kControlReplyTimeout)) {
                return *reply;
            }
        }
        // Polled rather than waited for: a motion that takes the lock first is then joined
        // through the side path instead of being waited out.
        std::unique_lock lock(commandMutex_, std::try_to_lock);
        if (lock.owns_lock()) {
            // One written beside the motion that just ended may still wait for its reply.
            if (exclusiveControl(command) &&
                (ledger_.waiting("$Pause") || ledger_.waiting("$Continue"))) {
                throw std::runtime_error("Another Epson motion-control command is pending");
            }
            command_(command, kCommandTimeout);
            return lastResponse_;
        }
        std::this_thread::sleep_for(kControlLockPoll);
    }
}

std::optional<std::string> CellCommandLink::Impl::trySendBesideMotion_(const std::string& command,
                                                                       Clock::time_point deadline) {
    // A reply that could not be told from one owed to a caller that gave up waits for proof
    // that the older one is settled: the reply to a "$GetStatus" written after it.
    while (ledger_.collides(command)) {
        if (Clock::now() >= deadline) {
            throw std::runtime_error(controlTimeoutMessage(command));
        }
        if (command != "$GetStatus") {
            if (!trySendBesideMotion_("$GetStatus", deadline)) {
                return std::nullopt;
            }
        } else {
            ledger_.waitFor(0, std::min(deadline, Clock::now() + kOwedReplySlice));
        }
    }
    ReplyLedger::Ticket ticket = 0;
    std::size_t written = 0;
    {
        std::lock_guard write(writeMutex_);
        const bool beside = ledger_.ifMotionReader([&] {
            if (exclusiveControl(command) &&
                (ledger_.waitingLocked("Pause") || ledger_.waitingLocked("Continue"))) {
                throw std::runtime_error("Another Epson motion-control command is pending");
            }
            ticket = ledger_.openLocked(command);
        });
        if (!beside) {
            return std::nullopt;
        }
        if (!connected_) {
            // The motion's reader has given the connection up and the motion is about to end.
            ledger_.withdraw(ticket);
            throw NotConnectedError("command() was called but socket not connected");
        }
        try {
            written = writeLocked_(command, deadline);
        } catch (...) {
            ledger_.withdraw(ticket);
            throw;
        }
        if (written < command.size() + terminator_.size() && written > 0) {
            // Half a command on the wire would run into the next one: cut the connection, so
            // that the motion's reader gives it up.
            ::shutdown(socket_.native_handle(), SHUT_RDWR);
        }
    }
    if (written == 0) {
        ledger_.withdraw(ticket);
        throw std::runtime_error(controlTimeoutMessage(command));
    }
    if (written < command.size() + terminator_.size()) {
        ledger_.giveUp(ticket);
        throw ConnectionLostError("Timed out sending " + command + " to the Epson controller");
    }
    return completeBesideMotion_(ticket, command, deadline);
}

std::string CellCommandLink::Impl::completeBesideMotion_(ReplyLedger::Ticket ticket,
                                                         const std::string& command,
                                                         Clock::time_point deadline) {
    std::optional<ReplyLedger::Outcome> outcome;
    while (!(outcome = ledger_.collect(ticket))) {
        const auto now = Clock::now();
        if (now >= deadline) {
            // Its reply, should it still come, is dropped by whoever reads it.
            outcome = ledger_.giveUp(ticket);
            break;
        }
        if (ledger_.waitBesideMotion(ticket, deadline)) {
            continue;  // the motion's reader hands it across, or has just left
        }
        // The motion has ended, perhaps before its reader saw this reply: read for it whenever
        // the connection is free. Between slices other commands may go, and their reply loops
        // hand it across just the same.
        if (const auto foreign =
                readOwedReply_(ticket, std::min(deadline, now + kOwedReplySlice))) {
            rejectForeignLine_(*foreign, command);
        }
        ledger_.waitFor(ticket, std::min(deadline, Clock::now() + kControlLockPoll));
    }
    if (outcome->failure) {
        throw ConnectionLostError(*outcome->failure);
    }
    if (!outcome->reply) {
        throw std::runtime_error(controlTimeoutMessage(command));
    }
    parseResponse_(*outcome->reply, command);
    return *outcome->reply;
}

std::optional<std::string> CellCommandLink::Impl::readOwedReply_(ReplyLedger::Ticket ticket,
                                                                 Clock::time_point until) noexcept {
    std::unique_lock lock(commandMutex_, std::try_to_lock);
    if (!lock.owns_lock() || !connected_) {
        return std::nullopt;
    }
    try {
        // Only a whole reply is taken, so that this short read never waits long for the
        // continuation lines of a quoted one.
        if (!waitForLine_(until, true)) {
            return std::nullopt;
        }
        std::string line = readReplyLine_(kCommandTimeout);
        switch (ledger_.decide(line, ticket)) {
            case ReplyLedger::Verdict::Unknown:
                return line;
            case ReplyLedger::Verdict::Ambiguous:
                giveUpConnection_(
                    "Epson Remote Ethernet reply could not be assigned to a command: " + line);
            default:
                return std::nullopt;
        }
    } catch (const std::exception&) {
        // The connection was given up, which has already failed the waiting command.
        return std::nullopt;
    }
}

void CellCommandLink::Impl::abortMotion() {
    const auto deadline = Clock::now() + kControlReplyTimeout;
    ReplyLedger::Ticket ticket = 0;
    {
        // Under the write lock, so that the decision keeps its place among the motions'
        // statements: an abort never reaches a motion whose statement follows it.
        std::lock_guard write(writeMutex_);
        std::lock_guard motion(motionMutex_);
        abortedThrough_ = std::max(abortedThrough_, lastMotionCall_);
        if (runningMotion_ != 0) {
            // The running motion's reader stays until runningMotion_ is cleared.
            ledger_.ifMotionReader([&] { ticket = ledger_.openLocked("$Abort"); });
            if (ticket != 0) {
                std::size_t written = 0;
                try {
                    written = writeLocked_("$Abort", deadline);
                } catch (...) {
                    ledger_.withdraw(ticket);
                    throw;
                }
                if (written == 0) {
                    ledger_.withdraw(ticket);
                    throw std::runtime_error(controlTimeoutMessage("$Abort"));
                }
                if (written < std::string("$Abort").size() + terminator_.size()) {
                    ::shutdown(socket_.native_handle(), SHUT_RDWR);
                    ledger_.giveUp(ticket);
                    throw ConnectionLostError("Timed out sending $Abort to the Epson controller");
                }
                abortSentFor_ = runningMotion_;
            }
        } else if (activeMotions_ > 0) {
            return;  // none of them has sent its statement, and now none will
        }
    }
    if (ticket != 0) {
        completeBesideMotion_(ticket, "$Abort", deadline);
        return;
    }
    // No motion at all: an ordinary command, unless a motion called after this abort gets the
    // connection first; that one is not this abort's to stop.
    for (;;) {
        {
            std::lock_guard motion(motionMutex_);
            if (activeMotions_ > 0) {
                return;
            }
        }
        std::unique_lock lock(commandMutex_, std::try_to_lock);
        if (lock.owns_lock()) {
            command_("$Abort", kCommandTimeout);
            return;
        }
        if (Clock::now() >= deadline) {
            throw std::runtime_error(controlTimeoutMessage("$Abort"));
        }
        std::this_thread::sleep_for(kControlLockPoll);
    }
}

RemoteStatus CellCommandLink::Impl::getRemoteStatus() {
    return results::parseRemoteStatus(sendMotionControlCommand_("$GetStatus"));
}

bool CellCommandLink::Impl::tillOn() {
    std::lock_guard lock(commandMutex_);
    return results::parseTillOn(executeAndGetResult_("Print TillOn"));
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

RemoteStatus CellCommandLink::getRemoteStatus() {
    return impl_->getRemoteStatus();
}

bool CellCommandLink::tillOn() {
    return impl_->tillOn();
}

}  // namespace epson
