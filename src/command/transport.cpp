// The command connection: resolve, connect with retries, write one command, read its reply.

#include <algorithm>
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
    abandonOwedReplies_(kClosedUnderControlCommand);

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

void CellCommandLink::Impl::writeLine_(const std::string& command) {
    const std::string wire = command + terminator_;
    boost::system::error_code error;
    {
        std::lock_guard lock(writeMutex_);
        asio::write(socket_, asio::buffer(wire), error);
    }
    if (error) {
        throw boost::system::system_error(error, "write");
    }
}

void CellCommandLink::Impl::command_(const std::string& command,
                                     std::chrono::milliseconds timeout) {
    if (!connected_ || !socket_.is_open()) {
        throw NotConnectedError("command() was called but socket not connected");
    }
    // The last guard: the operations check their arguments before anything is sent.
    requireTransmittable(command, "command", kMaxCommandBytes);
    writeLine_(command);
    lastCommand_ = command;
    const std::string echo = expectedEcho(command);

    for (;;) {
        std::string line = readReplyLine_(timeout);
        if (line.empty()) {
            throw std::runtime_error("Empty response from Epson controller");
        }
        // Replies come in the controller's order, so one owed to a control command that gave
        // up comes before any later reply of its kind, this command's own included.
        if (dropLateReply_(line)) {
            continue;
        }
        if (spel::startsWith(line, echo)) {
            lastResponse_ = std::move(line);
            parseResponse_(lastResponse_, command);
            return;
        }
        if (handOverToControlCommand_(line, echo)) {
            continue;
        }
        if (line.front() == '!') {
            lastResponse_ = std::move(line);
            parseResponse_(lastResponse_, command);
        }
        throw std::runtime_error("Unexpected Epson response while waiting for " + echo + ": " +
                                 line);
    }
}

bool answersControlCommand(const std::string& line, const std::string& echo) {
    if (spel::startsWith(line, echo)) {
        return true;
    }
    const std::string_view name = std::string_view(echo).substr(1);
    return line.size() > name.size() && line.front() == '!' &&
           std::string_view(line).substr(1, name.size()) == name &&
           (line.size() == name.size() + 1 || line[name.size() + 1] == ',');
}

bool CellCommandLink::Impl::dropLateReply_(const std::string& line) {
    if (lateReplyCount_.load() == 0) {
        return false;
    }
    std::lock_guard lock(pendingMutex_);
    for (auto it = lateControlPrefixes_.begin(); it != lateControlPrefixes_.end(); ++it) {
        if (answersControlCommand(line, *it)) {
            lateControlPrefixes_.erase(it);
            lateReplyCount_ = lateControlPrefixes_.size();
            return true;
        }
    }
    return false;
}

bool CellCommandLink::Impl::handOverToControlCommand_(std::string& line,
                                                      const std::string& ownEcho) {
    // An error that names the command being read for (a motion aborted by an emergency stop
    // answers "!Execute,99") is that command's own reply: handing it to a pending control
    // command would leave the motion waiting for a reply that already came.
    if (!ownEcho.empty() && line.front() == '!' && answersControlCommand(line, ownEcho)) {
        return false;
    }
    std::lock_guard lock(pendingMutex_);
    // A command that has its answer (or its failure) takes no second line: that line is
    // someone else's, and overwriting the first would lose a reply.
    if (!pendingPrefix_.empty() && pendingResponse_.empty() && !pendingFailure_ &&
        (line.front() == '!' || spel::startsWith(line, pendingPrefix_))) {
        pendingResponse_ = std::move(line);
        pendingCondition_.notify_all();
        return true;
    }
    return false;
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

bool CellCommandLink::Impl::waitForLine_(Clock::time_point deadline) {
    // The deadline bounds the run itself rather than arming a timer: a timer per reply cost a
    // timerfd update and an extra reactor pass, about a microsecond of every round trip.
    bool done = false;
    boost::system::error_code readError = asio::error::would_block;

    ioContext_.restart();
    asio::async_read_until(
        socket_, readBuffer_, terminator_,
        [&readError, &done](const boost::system::error_code& error, std::size_t) {
            readError = error;
            done = true;
        });
    // Nothing stops this context, so run_one_until returns 0 only once the deadline has passed.
    while (!done && ioContext_.run_one_until(deadline) != 0) {
    }
    if (!done) {
        boost::system::error_code ignored;
        {
            std::lock_guard lock(writeMutex_);
            socket_.cancel(ignored);
        }
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
    // The pending control command fails now with the link's own error instead of waiting out
    // its deadline.
    abandonOwedReplies_(message);
    throw ConnectionLostError(message);
}

void CellCommandLink::Impl::abandonOwedReplies_(const std::string& failure) {
    {
        std::lock_guard pending(pendingMutex_);
        if (!pendingPrefix_.empty() && pendingResponse_.empty() && !pendingFailure_) {
            pendingFailure_ = failure;
        }
        lateControlPrefixes_.clear();
        lateReplyCount_ = 0;
    }
    pendingCondition_.notify_all();
}

void CellCommandLink::Impl::closeSocket_() noexcept {
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
