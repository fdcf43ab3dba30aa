// The command connection: resolve, connect with retries, write one command, read its reply.

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "CellCommandLinkImpl.hpp"
#include "epson/errors.hpp"
#include "results.hpp"
#include "spel_text.hpp"

namespace epson {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

std::string endpointText(const std::string& host, std::uint16_t port) {
    return host + ":" + std::to_string(port);
}

std::string replyTooLongMessage() {
    return "Failed while waiting for an Epson Remote Ethernet response: reply exceeds " +
           std::to_string(kMaxReplyBytes) + " bytes without a line end";
}

Clock::time_point saturatingDeadline(std::chrono::milliseconds timeout) {
    const auto now = Clock::now();
    const auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    return timeout >= room ? Clock::time_point::max() : now + timeout;
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
    tcp::resolver resolver(ioContext_);
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

    for (int attempt = 1;; ++attempt) {
        try {
            connectStep_(endpoints, host, port);
            login_(password);
            break;
        } catch (const std::exception& error) {
            const bool connectionLost = !connected_ || !socket_.is_open();
            boost::system::error_code ignored;
            socket_.close(ignored);
            connected_ = false;
            loggedIn_ = false;
            if (!connectionLost) {
                throw;  // The controller answered: retrying cannot change its mind.
            }
            if (attempt == kConnectAttempts) {
                throw std::runtime_error("Epson Remote Ethernet login failed after " +
                                         std::to_string(kConnectAttempts) +
                                         " attempts: " + error.what());
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

void CellCommandLink::Impl::connectStep_(const tcp::resolver::results_type& endpoints,
                                         const std::string& host, std::uint16_t port) {
    boost::system::error_code ignored;
    closeSocket_();
    socket_ = tcp::socket(ioContext_);
    // Bytes of an unfinished line from the previous connection must never be read as the
    // first reply of this one, nor may replies owed on it be looked for on this one.
    readBuffer_.consume(readBuffer_.size());
    ledger_.closeConnection(kClosedUnderControlCommand);

    boost::system::error_code result = asio::error::would_block;
    asio::async_connect(socket_, endpoints,
                        [&result](const boost::system::error_code& error, const tcp::endpoint&) {
                            result = error;
                        });
    ioContext_.restart();
    const auto deadline = Clock::now() + kConnectTimeout;
    while (!ioContext_.stopped() && Clock::now() < deadline) {
        ioContext_.run_one_until(deadline);
    }
    if (!ioContext_.stopped()) {
        socket_.close(ignored);
        ioContext_.run();  // lets the aborted connect finish before `result` goes out of scope
        throw std::runtime_error("Connection to " + endpointText(host, port) + " timed out");
    }
    if (result) {
        socket_.close(ignored);
        throw std::runtime_error("Failed to connect to " + endpointText(host, port) + ": " +
                                 result.message());
    }
    socket_.set_option(tcp::no_delay(true), ignored);
    connected_ = true;
    loggedIn_ = false;
}

std::size_t CellCommandLink::Impl::writeLocked_(const std::string& command,
                                                Clock::time_point deadline) {
    if (!socket_.is_open()) {
        throw boost::system::system_error(asio::error::bad_descriptor, "write");
    }
    // Written on the descriptor itself, without blocking: a peer that stops reading must not
    // hold this lock, and with it every other writer, past the writer's own deadline.
    const std::string wire = command + terminator_;
    const int fd = socket_.native_handle();
    std::size_t done = 0;
    while (done < wire.size()) {
        const ssize_t sent =
            ::send(fd, wire.data() + done, wire.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                return done;
            }
            pollfd writable{fd, POLLOUT, 0};
            ::poll(&writable, 1, static_cast<int>(std::min<long long>(left, 1000)));
            continue;
        }
        throw boost::system::system_error(
            boost::system::error_code(sent < 0 ? errno : EPIPE, boost::system::system_category()),
            "write");
    }
    return done;
}

void CellCommandLink::Impl::command_(const std::string& command,
                                     std::chrono::milliseconds timeout) {
    if (!connected_ || !socket_.is_open()) {
        throw NotConnectedError("command() was called but socket not connected");
    }
    // The last guard: the operations check their arguments before anything is sent.
    requireTransmittable(command, "command", kMaxCommandBytes);
    settleCollision_(command, timeout);
    exchange_(command, timeout);
}

void CellCommandLink::Impl::settleCollision_(const std::string& command,
                                             std::chrono::milliseconds timeout) {
    if (!ledger_.collides(command)) {
        return;
    }
    const std::string name = expectedEcho(command);
    const auto deadline = saturatingDeadline(timeout);
    if (name != "#GetStatus") {
        // The controller answers in order, so once this reply is in, every older reply that has
        // not come never will, and those entries expire; all but a running $Execute's.
        exchange_("$GetStatus", timeout);
        if (ledger_.collides(command) && name == "#Execute" &&
            !results::parseRemoteStatus(lastResponse_).running) {
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
        const std::string line = readReplyLine_(timeout);
        switch (ledger_.decide(line, 0)) {
            case ReplyLedger::Verdict::Ambiguous:
                giveUpConnection_(
                    "Epson Remote Ethernet reply could not be assigned to a command: " + line);
            case ReplyLedger::Verdict::Unknown:
                rejectForeignLine_(line, command);
            default:
                break;
        }
    }
}

void CellCommandLink::Impl::exchange_(const std::string& command, std::chrono::milliseconds timeout,
                                      MotionStep step) {
    ReplyLedger::Ticket ticket = 0;
    const auto writeTimeout = std::min(timeout, kCommandTimeout);
    bool cut = false;
    {
        std::lock_guard write(writeMutex_);
        if (step.motion != 0) {
            // Decided in write order: an abort written before this point stops the motion, one
            // written after it finds the motion running.
            std::lock_guard motion(motionMutex_);
            if (abortedThrough_ >= step.motion) {
                throw MotionAbortedError("Epson motion was aborted before it started", "", command);
            }
            if (step.statement) {
                runningMotion_ = step.motion;
            }
        }
        ticket = ledger_.open(command, false);
        try {
            cut = writeLocked_(command, saturatingDeadline(writeTimeout)) <
                  command.size() + terminator_.size();
        } catch (...) {
            ledger_.withdraw(ticket);
            throw;
        }
    }
    lastCommand_ = command;
    if (cut) {
        ledger_.withdraw(ticket);
        // A half-written command would run into the next one: the connection is unusable.
        giveUpConnection_("Timed out sending " + displayedCommand(command) +
                          " to the Epson controller after " + std::to_string(writeTimeout.count()) +
                          " ms");
    }
    try {
        expectedEcho(command);  // an empty command has no name: std::out_of_range
    } catch (...) {
        ledger_.giveUp(ticket);
        throw;
    }

    for (;;) {
        std::string line = readReplyLine_(timeout);
        if (line.empty()) {
            ledger_.withdraw(ticket);  // the controller's answer, if an empty one
            throw std::runtime_error("Empty response from Epson controller");
        }
        switch (ledger_.decide(line, ticket)) {
            case ReplyLedger::Verdict::Own:
                lastResponse_ = std::move(line);
                parseResponse_(lastResponse_, command);
                return;
            case ReplyLedger::Verdict::HandedOver:
            case ReplyLedger::Verdict::Dropped:
                continue;
            case ReplyLedger::Verdict::Ambiguous:
                giveUpConnection_(
                    "Epson Remote Ethernet reply could not be assigned to a command: " + line);
            case ReplyLedger::Verdict::Unknown:
                rejectForeignLine_(line, command);
        }
    }
}

void CellCommandLink::Impl::rejectForeignLine_(const std::string& line,
                                               const std::string& command) {
    if (!line.empty() && line.front() == '!') {
        lastResponse_ = line;
        parseResponse_(lastResponse_, command);
    }
    throw std::runtime_error("Unexpected Epson response while waiting for " +
                             expectedEcho(command) + ": " + line);
}

std::string CellCommandLink::Impl::readReplyLine_(std::chrono::milliseconds timeout) {
    const auto takeLine = [this, timeout] {
        readUntilTerminator_(timeout);
        // Cut straight from the buffer's bytes, up to and without the first line feed: building
        // an istream per line was a quarter of the link's own work per command.
        const auto bytes = readBuffer_.data();
        const char* begin = static_cast<const char*>(bytes.data());
        const auto* lineFeed = static_cast<const char*>(std::memchr(begin, '\n', bytes.size()));
        const std::size_t length =
            lineFeed == nullptr ? bytes.size() : static_cast<std::size_t>(lineFeed - begin);
        std::string line(begin, length);
        readBuffer_.consume(lineFeed == nullptr ? length : length + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        return line;
    };
    const auto oddQuotes = [](const std::string& text) {
        return std::count(text.begin(), text.end(), '"') % 2 != 0;
    };
    std::string reply = takeLine();
    // Parity is tracked per line so that a long continued reply is not rescanned each time.
    for (bool open = oddQuotes(reply); open;) {
        std::string next = takeLine();
        open = open != oddQuotes(next);
        reply += '\n';
        reply += next;
        // A quote that is never closed must not let the reply grow without bound either.
        if (reply.size() > kMaxReplyBytes) {
            giveUpConnection_(replyTooLongMessage());
        }
    }
    return reply;
}

void CellCommandLink::Impl::readUntilTerminator_(std::chrono::milliseconds timeout) {
    if (!waitForLine_(saturatingDeadline(timeout))) {
        giveUpConnection_("Timed out waiting for an Epson Remote Ethernet response to " +
                          displayedCommand(lastCommand_) + " after " +
                          std::to_string(timeout.count()) + " ms");
    }
}

namespace {

/// Matches the end of a whole reply: a line feed outside double quotes.
struct WholeReply {
    template <typename Iterator>
    std::pair<Iterator, bool> operator()(Iterator begin, Iterator end) const {
        bool quoted = false;
        for (Iterator at = begin; at != end; ++at) {
            if (*at == '"') {
                quoted = !quoted;
            } else if (*at == '\n' && !quoted) {
                return {++at, true};
            }
        }
        return {begin, false};
    }
};

}  // namespace
}  // namespace epson

template <>
struct boost::asio::is_match_condition<epson::WholeReply> : std::true_type {};

namespace epson {

bool CellCommandLink::Impl::waitForLine_(Clock::time_point deadline, bool wholeReply) {
    // The deadline bounds the run itself rather than arming a timer: a timer per reply cost a
    // timerfd update and an extra reactor pass, about a microsecond of every round trip.
    bool done = false;
    boost::system::error_code readError = asio::error::would_block;

    ioContext_.restart();
    const auto handler = [&readError, &done](const boost::system::error_code& error, std::size_t) {
        readError = error;
        done = true;
    };
    if (wholeReply) {
        asio::async_read_until(socket_, readBuffer_, WholeReply{}, handler);
    } else {
        asio::async_read_until(socket_, readBuffer_, terminator_, handler);
    }
    // Nothing stops this context, so run_one_until returns 0 only once the deadline has passed.
    while (!done && ioContext_.run_one_until(deadline) != 0) {
    }
    if (!done) {
        boost::system::error_code ignored;
        socket_.cancel(ignored);
        ioContext_.run();  // lets the cancelled read finish before its handler's frame goes
        if (readError == asio::error::operation_aborted) {
            return false;  // bytes of a partial line stay in readBuffer_ for the next read
        }
    }
    if (!readError) {
        return true;
    }
    // The buffer's size limit turns an endless line into not_found; that is a broken peer.
    if (readError == asio::error::not_found) {
        giveUpConnection_(replyTooLongMessage());
    }
    giveUpConnection_("Failed while waiting for an Epson Remote Ethernet response: " +
                      readError.message());
}

void CellCommandLink::Impl::giveUpConnection_(const std::string& message) {
    closeSocket_();
    connected_ = false;
    loggedIn_ = false;
    motorsOn_ = false;
    forgetSavedToolState_();
    // Side-path commands fail now with the link's own error instead of waiting out their
    // deadlines; nothing else owed on this connection can be answered any more.
    ledger_.closeConnection(message);
    throw ConnectionLostError(message);
}

void CellCommandLink::Impl::closeSocket_() noexcept {
    // Only the holder of the command lock closes, so the descriptor stays valid up to the
    // close below; the shutdown wakes a writer that waits for a peer that stopped reading.
    if (socket_.is_open()) {
        ::shutdown(socket_.native_handle(), SHUT_RDWR);
    }
    std::lock_guard lock(writeMutex_);
    boost::system::error_code ignored;
    socket_.close(ignored);
}

void CellCommandLink::Impl::forgetSavedToolState_() {
    tcpOverrideActive_ = false;
    savedToolNumber_.reset();
    savedToolDefinition_.reset();
}

}  // namespace epson
