#include "CommandSession.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <functional>

namespace epson::sim::detail {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

CommandSession::CommandSession(SessionHost& host, tcp::socket socket, SessionLimits limits)
    : host_(host),
      socket_(std::move(socket)),
      limits_(limits),
      input_(kMaxLineLength),
      gapTimer_(socket_.get_executor()),
      loginTimer_(socket_.get_executor()),
      idleTimer_(socket_.get_executor()),
      writeTimer_(socket_.get_executor()) {}

void CommandSession::start() {
    armLoginTimer();
    armIdleTimer();
    read();
}

void CommandSession::armLoginTimer() {
    if (limits_.loginTimeout.count() <= 0 || !isOpen()) {
        return;
    }
    loginTimer_.expires_after(limits_.loginTimeout);
    loginTimer_.async_wait([self = shared_from_this()](const boost::system::error_code& e) {
        if (!e && !self->loggedIn) {
            self->close();  // a client that never logs in must not hold the port
        }
    });
}

void CommandSession::loginChanged() {
    if (loggedIn) {
        loginTimer_.cancel();
    } else {
        armLoginTimer();
    }
}

bool CommandSession::owesReply() const {
    return awaitingMotion_ || writing_ || flushPosted_ || !output_.empty() || !delayTimers_.empty();
}

// Idle counts from the later of the last line read and the last reply owed being written.
void CommandSession::armIdleTimer() {
    if (limits_.idleTimeout.count() <= 0 || !isOpen()) {
        return;
    }
    if (owesReply()) {
        idleTimer_.cancel();  // armed again once nothing is owed
        return;
    }
    idleTimer_.expires_after(limits_.idleTimeout);
    idleTimer_.async_wait([self = shared_from_this()](const boost::system::error_code& e) {
        // The expiry check skips a wake-up that raced a line read or a reply and a re-arm.
        if (!e && !self->owesReply() && self->idleTimer_.expiry() <= Clock::now()) {
            self->close();
        }
    });
}

void CommandSession::awaitMotion(bool waiting) {
    awaitingMotion_ = waiting;
    armIdleTimer();
}

bool CommandSession::peerGone() {
    char byte = 0;
    const ssize_t n = ::recv(socket_.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

void CommandSession::read() {
    asio::async_read_until(socket_, input_, '\n',
                           [self = shared_from_this()](const boost::system::error_code& error,
                                                       std::size_t) { self->onRead(error); });
}

void CommandSession::onRead(const boost::system::error_code& error) {
    if (error) {
        close();  // also a line longer than kMaxLineLength: the buffer filled without a LF
        return;
    }
    armIdleTimer();
    handleInput();
}

void CommandSession::handleInput() {
    auto self = shared_from_this();
    for (;;) {
        if (backlog_ > kPauseBacklog) {
            // writeChunk() resumes once the replies drain; a client held back by its own
            // replies is not idle, and one that never reads them meets the write deadline.
            inputPaused_ = true;
            return;
        }
        const auto data = input_.data();
        const std::string_view pending(static_cast<const char*>(data.data()), data.size());
        const std::size_t end = pending.find('\n');
        if (end == std::string_view::npos) {
            break;
        }
        std::string line(pending.substr(0, end));
        input_.consume(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        host_.handleLine(self, line);
        if (!isOpen()) {
            return;
        }
    }
    read();
}

void CommandSession::close(bool abortive) {
    if (!socket_.is_open()) {
        return;
    }
    boost::system::error_code ignored;
    if (abortive) {
        socket_.set_option(asio::socket_base::linger(true, 0), ignored);
    } else {
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
    }
    socket_.close(ignored);
    gapTimer_.cancel();
    loginTimer_.cancel();
    idleTimer_.cancel();
    writeTimer_.cancel();
    for (auto& timer : delayTimers_) {
        timer->cancel();
    }
    delayTimers_.clear();
    output_.clear();
    backlog_ = 0;
    host_.sessionClosed(this);
}

void CommandSession::after(milliseconds delay, std::function<void()> f) {
    if (delay.count() <= 0) {
        f();
        return;
    }
    auto timer = std::make_shared<asio::steady_timer>(socket_.get_executor(), delay);
    delayTimers_.push_back(timer);
    timer->async_wait([self = shared_from_this(), timer,
                       f = std::move(f)](const boost::system::error_code& error) {
        auto& timers = self->delayTimers_;
        timers.erase(std::remove(timers.begin(), timers.end(), timer), timers.end());
        if (!error && self->isOpen()) {
            f();
            self->armIdleTimer();
        }
    });
}

void CommandSession::send(std::string bytes, milliseconds delay) {
    if (!isOpen()) {
        return;
    }
    // Delayed replies count from now: a rule that delays every reply must not let them pile up
    // unseen. Reading pauses long before the bound; only replies that a client leaves unread
    // while they are delayed or oversize can reach it, and a controller drops such a stalled
    // connection. One large reply alone (a test's oversize answer) still goes out.
    if (backlog_ > 0 && backlog_ + bytes.size() > limits_.maxBacklog) {
        close();
        return;
    }
    backlog_ += bytes.size();
    after(delay, [self = shared_from_this(), bytes = std::move(bytes)]() mutable {
        self->enqueue(std::move(bytes));
    });
}

void CommandSession::enqueue(std::string bytes) {
    if (!isOpen()) {
        return;
    }
    output_.push_back(std::move(bytes));
    // Writing starts after the current handler, so replies produced together can coalesce.
    if (!writing_ && !flushPosted_) {
        flushPosted_ = true;
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            self->flushPosted_ = false;
            self->writeNext();
        });
    }
}

void CommandSession::writeNext() {
    if (writing_ || output_.empty() || !isOpen()) {
        return;
    }
    const ReplyStyle style = host_.replyStyle();
    std::string bytes;
    if (style.coalesce) {
        for (auto& item : output_) {
            bytes += item;
        }
        output_.clear();
    } else {
        bytes = std::move(output_.front());
        output_.pop_front();
    }
    chunks_.clear();
    const std::size_t pieces =
        std::clamp<std::size_t>(static_cast<std::size_t>(std::max(style.segments, 1)), 1,
                                std::max<std::size_t>(bytes.size(), 1));
    std::size_t offset = 0;
    for (std::size_t i = 0; i < pieces; ++i) {
        const std::size_t length = bytes.size() / pieces + (i < bytes.size() % pieces ? 1 : 0);
        chunks_.push_back(bytes.substr(offset, length));
        offset += length;
    }
    writingBytes_ = bytes.size();
    chunk_ = 0;
    gap_ = style.gap;
    writing_ = true;
    writeChunk();
}

void CommandSession::writeChunk() {
    if (limits_.writeTimeout.count() > 0) {
        writeTimer_.expires_after(limits_.writeTimeout);
        writeTimer_.async_wait([self = shared_from_this()](const boost::system::error_code& e) {
            // The expiry check skips a wake-up that raced the write's completion and a re-arm.
            if (!e && self->writing_ && self->writeTimer_.expiry() <= Clock::now()) {
                self->close(true);  // it does not read: nothing it sent can be answered
            }
        });
    }
    asio::async_write(
        socket_, asio::buffer(chunks_[chunk_]),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
            self->writeTimer_.cancel();
            if (error) {
                self->writing_ = false;
                self->close();
                return;
            }
            if (++self->chunk_ < self->chunks_.size()) {
                self->gapTimer_.expires_after(self->gap_);
                self->gapTimer_.async_wait([self](const boost::system::error_code& waitError) {
                    if (!waitError && self->isOpen()) {
                        self->writeChunk();
                    } else {
                        self->writing_ = false;
                    }
                });
                return;
            }
            self->writing_ = false;
            self->backlog_ -= std::min(self->backlog_, self->writingBytes_);
            self->writeNext();
            if (self->inputPaused_ && self->backlog_ <= kPauseBacklog / 2 && self->isOpen()) {
                self->inputPaused_ = false;
                self->handleInput();
            }
            self->armIdleTimer();
        });
}

}  // namespace epson::sim::detail
