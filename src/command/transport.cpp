// The session's exchanges: connect with retries, and one command with its own reply, decided
// by the reply ledger, within one overall deadline.

#include <algorithm>
#include <stdexcept>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

#include "CellCommandLinkImpl.hpp"
#include "epson/errors.hpp"
#include "results.hpp"

namespace epson {

using asio_tcp = boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

std::string endpointText(const std::string& host, std::uint16_t port) {
    return host + ":" + std::to_string(port);
}

Clock::time_point saturatingDeadline(std::chrono::milliseconds timeout) {
    const auto now = Clock::now();
    const auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    return timeout >= room ? Clock::time_point::max() : now + timeout;
}

std::string unassignableMessage(const std::string& line) {
    return "Epson Remote Ethernet reply could not be assigned to a command: " + line;
}

}  // namespace

CellCommandLink::Impl::Impl() = default;

void CellCommandLink::Impl::connect(const std::string& host, std::uint16_t port,
                                    const std::string& password) {
    // A line ending in the password would end "$Login" early and smuggle a second command.
    if (password.find_first_of("\r\n") != std::string::npos) {
        throw std::invalid_argument("password must not contain line endings");
    }
    requireTransmittable(password, "password");
    // The resolver would silently stop at a NUL and connect somewhere else.
    if (host.find('\0') != std::string::npos) {
        throw std::invalid_argument("host must not contain NUL characters");
    }
    std::lock_guard lock(commandMutex_);

    boost::system::error_code resolveError;
    asio_tcp::resolver resolver(ioContext_);
    const auto endpoints = resolver.resolve(host, std::to_string(port), resolveError);
    if (resolveError) {
        const std::string message =
            "Failed to resolve " + endpointText(host, port) + ": " + resolveError.message();
        writeConsoleLine(ConsoleLevel::Error, message);
        throw std::runtime_error(message);
    }

    host_ = host;
    port_ = port;
    motorsOn_ = false;
    motorOnError_.clear();

    const int attempts = connectAttempts_;
    for (int attempt = 1;; ++attempt) {
        try {
            connectStep_(endpoints, host, port);
            login_(password);
            break;
        } catch (const std::exception& error) {
            const bool connectionLost = !connected_ || !channelOpen_();
            closeSocket_();
            connected_ = false;
            loggedIn_ = false;
            if (!connectionLost) {
                throw;  // The controller answered: retrying cannot change its mind.
            }
            if (attempt == attempts) {
                throw std::runtime_error(
                    "Epson Remote Ethernet login failed after " + std::to_string(attempts) +
                    (attempts == 1 ? " attempt: " : " attempts: ") + error.what());
            }
            writeConsoleLine(ConsoleLevel::Warning,
                             "Epson Remote Ethernet login attempt " + std::to_string(attempt) +
                                 " failed; retrying in " + std::to_string(kRetryPause.count()) +
                                 " seconds");
            std::this_thread::sleep_for(kRetryPause);
        }
    }
    writeConsoleLine(ConsoleLevel::Info, "Connected to " + endpointText(host_, port_));
}

void CellCommandLink::Impl::command_(const std::string& command,
                                     std::chrono::milliseconds timeout) {
    commandReply_(command, timeout);
}

std::string CellCommandLink::Impl::commandReply_(const std::string& command,
                                                 std::chrono::milliseconds timeout,
                                                 MotionStep step) {
    if (!connected_ || !channelOpen_()) {
        throw NotConnectedError("command() was called but socket not connected");
    }
    // The last guard: the operations check their arguments before anything is sent.
    requireTransmittable(command, "command", kMaxCommandBytes);
    const auto deadline = saturatingDeadline(timeout);
    settleCollision_(command, deadline, timeout);
    return exchange_(command, timeout, step);
}

void CellCommandLink::Impl::settleCollision_(const std::string& command, Clock::time_point deadline,
                                             std::chrono::milliseconds timeout) {
    if (!ledger_.collides(command)) {
        return;
    }
    const std::string name = expectedEcho(command);
    if (name != "#GetStatus") {
        // The controller answers in order, so once this reply is in, every older reply that has
        // not come never will, and those entries expire; all but a running $Execute's. The
        // status goes through the same check: an older status owed could answer it.
        settleCollision_("$GetStatus", deadline, timeout);
        const auto statusTimeout =
            std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                     kCommandTimeout);
        if (statusTimeout.count() <= 0) {
            throw std::runtime_error("Epson controller is still running an earlier " +
                                     name.substr(1) + " command; " + displayedCommand(command) +
                                     " was not sent");
        }
        const std::string status = exchange_("$GetStatus", statusTimeout);
        if (ledger_.collides(command) && name == "#Execute" &&
            !results::parseRemoteStatus(status).running) {
            ledger_.forget(command);  // nothing runs: its reply came before, or never will
        }
    }
    // Read until the older reply has come, within this command's own deadline.
    while (ledger_.collides(command)) {
        if (!waitForLine_(deadline, true)) {
            if (name == "#GetStatus") {
                // One status reply cannot be told from another; one this late is presumed lost.
                ledger_.forget(command);
                return;
            }
            throw std::runtime_error("Epson controller is still running an earlier " +
                                     name.substr(1) + " command; " + displayedCommand(command) +
                                     " was not sent");
        }
        const std::string line = readReplyLine_(deadline, timeout);
        switch (ledger_.decide(line, 0)) {
            case ReplyLedger::Verdict::Ambiguous:
                giveUpConnection_(unassignableMessage(line));
            case ReplyLedger::Verdict::Unknown:
                // Nothing of this command was written: it fails, knowing it did nothing.
                throw std::runtime_error("Unexpected Epson response while waiting for " + name +
                                         ": " + line + "; " + displayedCommand(command) +
                                         " was not sent");
            default:
                break;
        }
    }
}

std::string CellCommandLink::Impl::exchange_(const std::string& command,
                                             std::chrono::milliseconds timeout, MotionStep step) {
    const auto deadline = saturatingDeadline(timeout);
    const auto writeTimeout = std::min(timeout, kCommandTimeout);
    std::optional<ReplyLedger::Ticket> ticket;
    std::optional<std::string> lost;  // given up once the write lock is released
    {
        std::lock_guard write(writeMutex_);
        // Decided in write order: an abort written before this point stops the motion, one
        // written after it finds the statement owed.
        ticket = step.motion != 0 ? ledger_.openMotionStep(command, step.motion, step.statement)
                                  : ledger_.open(command, false);
        if (!ticket) {
            throw MotionAbortedError("Epson motion was aborted before it started", "", command);
        }
        try {
            if (writeLineLocked_(command, saturatingDeadline(writeTimeout)) ==
                LineWritten::Nothing) {
                // Not a byte went out, but the peer stopped reading: nothing more will go.
                lost = "Timed out sending " + displayedCommand(command) +
                       " to the Epson controller after " + std::to_string(writeTimeout.count()) +
                       " ms";
            }
        } catch (const ConnectionLostError& error) {
            lost = error.what();
        } catch (...) {
            ledger_.withdraw(*ticket);
            throw;
        }
        if (lost) {
            ledger_.withdraw(*ticket);
        }
    }
    if (lost) {
        giveUpConnection_(*lost);
    }
    lastCommand_ = command;
    try {
        expectedEcho(command);  // an empty command has no name: std::out_of_range
    } catch (...) {
        ledger_.giveUp(*ticket);
        throw;
    }

    for (;;) {
        std::string line = readReplyLine_(deadline, timeout);
        switch (ledger_.decide(line, *ticket)) {
            case ReplyLedger::Verdict::Own: {
                lastResponse_ = line;
                const bool aborted = step.statement && ledger_.takeAborted(*ticket);
                try {
                    parseResponse_(line, command);
                } catch (const ControllerError& error) {
                    if (aborted) {
                        throw MotionAbortedError(error.what(), error.reply(), error.command());
                    }
                    throw;
                }
                return line;
            }
            case ReplyLedger::Verdict::HandedOver:
            case ReplyLedger::Verdict::Dropped:
                continue;
            case ReplyLedger::Verdict::Ambiguous:
                giveUpConnection_(unassignableMessage(line));
            case ReplyLedger::Verdict::Unknown:
            case ReplyLedger::Verdict::Blank:
                rejectForeignLine(line, command);
        }
    }
}

void CellCommandLink::Impl::rejectForeignLine(const std::string& line, const std::string& command) {
    // The command went out; whether the controller ran it cannot be told from this line, and
    // its own reply, should it still come, is dropped by the ledger. A refusal it names for
    // another command is not this command's refusal.
    const std::string what = isBlankLine(line) ? std::string("Empty response from Epson controller")
                                               : "Unexpected Epson response while waiting for " +
                                                     expectedEcho(command) + ": " + line;
    throw OutcomeUnknownError(what + " (" + displayedCommand(command) + " may have taken effect)");
}

}  // namespace epson
