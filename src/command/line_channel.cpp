// The line channel: the only code that touches the command connection's socket. It connects,
// writes one command line, reads one reply line by a deadline, and ends a connection that
// cannot carry another exchange.

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <boost/asio/connect.hpp>
#include <boost/asio/read_until.hpp>

#include "CellCommandLinkImpl.hpp"
#include "epson/errors.hpp"

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

LineWritten CellCommandLink::Impl::writeLineLocked_(const std::string& command,
                                                    Clock::time_point deadline) {
    if (!socket_.is_open() || !connected_) {
        throw NotConnectedError("command() was called but socket not connected");
    }
    // Written on the descriptor itself, without blocking: a peer that stops reading must not
    // hold this lock, and with it every other writer, past the writer's own deadline.
    const std::string wire = command + terminator_;
    const int fd = socket_.native_handle();
    std::size_t done = 0;
    std::string failure;
    while (done < wire.size() && failure.empty()) {
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
                if (done == 0) {
                    return LineWritten::Nothing;
                }
                failure =
                    "Timed out sending " + displayedCommand(command) + " to the Epson controller";
                break;
            }
            pollfd writable{fd, POLLOUT, 0};
            ::poll(&writable, 1, static_cast<int>(std::min<long long>(left, 1000)));
            continue;
        }
        // A reset or a broken pipe: the socket can carry no other exchange.
        const boost::system::error_code error(sent < 0 ? errno : EPIPE,
                                              boost::system::system_category());
        failure = "Failed to send " + displayedCommand(command) +
                  " to the Epson controller: " + error.message();
    }
    if (!failure.empty()) {
        // Half a command on the wire would run into the next one; a failed socket carries
        // nothing more. Either way the connection is over.
        cutConnectionLocked_(failure);
        throw ConnectionLostError(failure);
    }
    return LineWritten::Whole;
}

void CellCommandLink::Impl::cutConnectionLocked_(const std::string& message) noexcept {
    if (socket_.is_open()) {
        ::shutdown(socket_.native_handle(), SHUT_RDWR);
    }
    connected_ = false;
    loggedIn_ = false;
    ledger_.closeConnection(message);
}

std::string CellCommandLink::Impl::readReplyLine_(Clock::time_point deadline,
                                                  std::chrono::milliseconds timeout) {
    const auto takeLine = [this, deadline, timeout] {
        if (!waitForLine_(deadline)) {
            giveUpConnection_("Timed out waiting for an Epson Remote Ethernet response to " +
                              displayedCommand(lastCommand_) + " after " +
                              std::to_string(timeout.count()) + " ms");
        }
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
    const auto now = Clock::now();
    const auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    if (!waitForLine_(timeout >= room ? Clock::time_point::max() : now + timeout)) {
        giveUpConnection_("Timed out waiting for an Epson Remote Ethernet response to " +
                          displayedCommand(lastCommand_) + " after " +
                          std::to_string(timeout.count()) + " ms");
    }
}

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
    // The flags first: a side-path call that finds the socket closed finds them cleared too.
    connected_ = false;
    loggedIn_ = false;
    closeSocket_();
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

bool CellCommandLink::Impl::channelOpen_() const noexcept {
    return socket_.is_open();
}

boost::system::error_code CellCommandLink::Impl::closeChannel_() noexcept {
    boost::system::error_code ignored;
    boost::system::error_code closeError;
    if (socket_.is_open()) {
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
    }
    std::lock_guard write(writeMutex_);
    socket_.close(closeError);
    return closeError;
}

}  // namespace epson
