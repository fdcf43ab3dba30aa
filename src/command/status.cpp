// Status, power and motor commands, and the motion-control side path.

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
    } catch (const OutcomeUnknownError& error) {
        // It may have switched the motors on: disconnect() must still switch them off.
        motorsOn_ = true;
        motorOnError_ = error.what();
        throw;
    } catch (const std::exception& error) {
        motorOnError_ = error.what();
        throw;
    }
    motorsOn_ = true;
    motorOnError_.clear();
}

void CellCommandLink::Impl::motorOff_() {
    // Cleared only on the controller's own confirmation: a Motor Off of unknown outcome leaves
    // the motors possibly on.
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

/// A control command that found no way onto the wire within its deadline.
std::string notSentMessage(const std::string& command) {
    return "Timed out waiting for the Epson command connection; " + command + " was not sent";
}

}  // namespace

std::string CellCommandLink::Impl::sendMotionControlCommand_(const std::string& command) {
    // One deadline for the whole call: beside a motion for the reply, otherwise for the
    // command lock, so that a long connect or motion-less command never holds it up longer.
    const auto lockDeadline = Clock::now() + kControlReplyTimeout;
    for (;;) {
        if (motionInProgress_) {
            if (auto reply = sendBesideMotion(command, Clock::now() + kControlReplyTimeout)) {
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
            return commandReply_(command, kCommandTimeout);
        }
        if (Clock::now() >= lockDeadline) {
            throw std::runtime_error(notSentMessage(command));
        }
        std::this_thread::sleep_for(kControlLockPoll);
    }
}

bool CellCommandLink::Impl::settleBeside(const std::string& command, Clock::time_point deadline,
                                         bool anyReader) {
    // A reply that could not be told from one owed to a caller that gave up waits for proof
    // that the older one is settled: the reply to a "$GetStatus" written after it.
    while (ledger_.collides(command)) {
        if (Clock::now() >= deadline) {
            throw std::runtime_error(notSentMessage(command));
        }
        if (command == "$GetStatus") {
            ledger_.waitFor(0, std::min(deadline, Clock::now() + kOwedReplySlice));
            continue;
        }
        if (!settleBeside("$GetStatus", deadline, anyReader)) {
            return false;
        }
        std::optional<ReplyLedger::Ticket> ticket;
        {
            std::lock_guard write(writeMutex_);
            if (anyReader) {
                ticket = ledger_.open("$GetStatus", true);
            } else {
                ledger_.ifMotionReader([&] { ticket = ledger_.openLocked("$GetStatus"); });
            }
            if (!ticket) {
                return false;
            }
            writeSideLocked_(*ticket, "$GetStatus", deadline);
        }
        awaitBesideReply(*ticket, "$GetStatus", deadline);
    }
    return true;
}

void CellCommandLink::Impl::writeSideLocked_(ReplyLedger::Ticket ticket, const std::string& command,
                                             Clock::time_point deadline) {
    try {
        if (writeLineLocked_(command, deadline) == LineWritten::Nothing) {
            ledger_.withdraw(ticket);
            throw std::runtime_error(notSentMessage(command));
        }
    } catch (const ConnectionLostError&) {
        ledger_.withdraw(ticket);
        throw;
    } catch (const NotConnectedError&) {
        ledger_.withdraw(ticket);
        throw;
    }
}

std::optional<std::string> CellCommandLink::Impl::sendBesideMotion(const std::string& command,
                                                                   Clock::time_point deadline) {
    if (!settleBeside(command, deadline, false)) {
        return std::nullopt;
    }
    std::optional<ReplyLedger::Ticket> ticket;
    {
        std::lock_guard write(writeMutex_);
        ledger_.ifMotionReader([&] {
            if (exclusiveControl(command) &&
                (ledger_.waitingLocked("Pause") || ledger_.waitingLocked("Continue"))) {
                throw std::runtime_error("Another Epson motion-control command is pending");
            }
            ticket = ledger_.openLocked(command);
        });
        if (!ticket) {
            return std::nullopt;
        }
        writeSideLocked_(*ticket, command, deadline);
    }
    return awaitBesideReply(*ticket, command, deadline);
}

std::string CellCommandLink::Impl::awaitBesideReply(ReplyLedger::Ticket ticket,
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
        // No motion's reader is there, perhaps since before it saw this reply: read for it
        // whenever the connection is free. Between slices other commands may go, and their
        // reply loops hand it across just the same.
        if (const auto foreign = readOwedReply(ticket, std::min(deadline, now + kOwedReplySlice))) {
            rejectForeignLine(*foreign, command);
        }
        ledger_.waitFor(ticket, std::min(deadline, Clock::now() + kControlLockPoll));
    }
    if (outcome->failure) {
        throw ConnectionLostError(*outcome->failure);
    }
    if (!outcome->reply) {
        // Written, but its reply never came: the controller may have acted on it.
        throw OutcomeUnknownError(controlTimeoutMessage(command));
    }
    parseResponse_(*outcome->reply, command);
    return *outcome->reply;
}

std::optional<std::string> CellCommandLink::Impl::readOwedReply(ReplyLedger::Ticket ticket,
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
        std::string line = readReplyLine_(Clock::now() + kCommandTimeout, kCommandTimeout);
        switch (ledger_.decide(line, ticket)) {
            case ReplyLedger::Verdict::Unknown:
            case ReplyLedger::Verdict::Blank:
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

bool CellCommandLink::Impl::abortMotion() {
    const auto deadline = Clock::now() + kControlReplyTimeout;
    // An earlier "$Abort" still owed its reply would take this one's: settled first, as for
    // pause and continue, by a status beside whatever may still run.
    if (ledger_.statementMayRun() && !settleBeside("$Abort", deadline, true)) {
        throw std::runtime_error(notSentMessage("$Abort"));
    }
    ReplyLedger::AbortPlan plan;
    {
        // Under the write lock, so that the decision keeps its place among the motions'
        // statements: an abort never reaches a motion whose statement follows it.
        std::lock_guard write(writeMutex_);
        plan = ledger_.abort();
        if (plan.ticket != 0) {
            writeSideLocked_(plan.ticket, "$Abort", deadline);
        }
    }
    if (plan.ticket != 0) {
        // Whoever reads hands the reply across: the motion's reader, another command's, or
        // this call itself once the connection is free.
        awaitBesideReply(plan.ticket, "$Abort", deadline);
        return true;
    }
    if (plan.motionsCalled) {
        return false;  // none of them has sent its statement, and now none will
    }
    // No motion at all: an ordinary command when the connection is free. A command that holds
    // it is no motion, and one called after this abort is not this abort's to stop.
    std::unique_lock lock(commandMutex_, std::try_to_lock);
    if (lock.owns_lock() && connected_) {
        command_("$Abort", kCommandTimeout);
    }
    return false;  // no motion statement could run: nothing was stopped
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

bool CellCommandLink::abortMotion() {
    return impl_->abortMotion();
}

bool CellCommandLink::motionMayRun() const {
    return impl_->ledger_.motionMayRun();
}

RemoteStatus CellCommandLink::getRemoteStatus() {
    return impl_->getRemoteStatus();
}

bool CellCommandLink::tillOn() {
    return impl_->tillOn();
}

}  // namespace epson
