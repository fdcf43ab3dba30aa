#include "FaultyController.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace epson::test {

namespace {

using namespace std::chrono_literals;

std::chrono::nanoseconds secondsOf(double seconds) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(seconds));
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

FaultyController::FaultyController(std::uint64_t seed) : random_(seed) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (listenFd_ < 0 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listenFd_, 8) != 0) {
        throw std::runtime_error("FaultyController: cannot listen on 127.0.0.1");
    }
    socklen_t length = sizeof(address);
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
}

FaultyController::~FaultyController() {
    stop();
    ::close(listenFd_);
}

void FaultyController::start() {
    thread_ = std::thread([this] { run(); });
}

void FaultyController::stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
        closeClient(false, "by controller");
    }
}

std::vector<WireEvent> FaultyController::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<std::string> FaultyController::violations() const {
    std::lock_guard lock(mutex_);
    return violations_;
}

std::optional<FaultyController::Clock::time_point> FaultyController::motionEnd() const {
    std::lock_guard lock(mutex_);
    return motionEnd_;
}

std::map<std::string, std::string> FaultyController::abortsReceived() const {
    std::lock_guard lock(mutex_);
    return aborts_;
}

bool FaultyController::motorsOnAtLastClose() const {
    std::lock_guard lock(mutex_);
    return motorsOnAtLastClose_;
}

std::map<std::string, int> FaultyController::faultCounts() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void FaultyController::run() {
    while (!stop_) {
        const auto now = Clock::now();
        auto wait = 20ms;
        for (const auto& reply : replies_) {
            const auto due = reply.due + (reply.coalesce ? 15ms : 0ms);
            wait = std::min(wait,
                            std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(due - now)));
        }
        // A controller that stops reading leaves the commands in the socket meanwhile.
        const bool reading = now >= readingStopsUntil_;
        if (!reading) {
            wait = std::min(wait,
                            std::chrono::ceil<std::chrono::milliseconds>(readingStopsUntil_ - now));
        }
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {clientFd_, POLLIN, 0}};
        const nfds_t count = clientFd_ >= 0 && reading ? 2 : 1;
        ::poll(fds, count, static_cast<int>(wait.count()));
        if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            readClient();
        }
        if ((fds[0].revents & POLLIN) != 0) {
            acceptClient();
        }
        // Now and then a reset between exchanges: the connector meets it in its next write or
        // read, whatever it is doing.
        if (clientFd_ >= 0 && !calm_ && Clock::now() >= nextIdleReset_) {
            const bool first = nextIdleReset_ == Clock::time_point{};
            nextIdleReset_ = Clock::now() + secondsOf(uniform(3.0, 9.0));
            if (!first) {
                this->count("reset between exchanges");
                closeClient(true, "by controller");
            }
        }
        flushDue();
    }
}

void FaultyController::acceptClient() {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    closeClient(false, "replaced");  // a new connection replaces the old one, as on a controller
    clientFd_ = fd;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    ++connection_;
}

void FaultyController::closeClient(bool reset, const char* by) {
    if (clientFd_ < 0) {
        return;
    }
    if (reset) {
        const linger abortive{1, 0};
        ::setsockopt(clientFd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
    }
    ::close(clientFd_);
    clientFd_ = -1;
    record(WireEvent::Kind::Closed, by, "");
    {
        std::lock_guard lock(mutex_);
        motorsOnAtLastClose_ = motorsOn_;
    }
    motorsOn_ = false;  // a new connection finds them off
    input_.clear();
    replies_.clear();
    lastReplyDue_ = {};
    std::lock_guard lock(mutex_);
    motionEnd_.reset();
}

void FaultyController::readClient() {
    char buffer[4096];
    const ssize_t received = ::recv(clientFd_, buffer, sizeof(buffer), 0);
    if (received < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (received <= 0) {
        closeClient(false, "by client");
        return;
    }
    input_.append(buffer, static_cast<std::size_t>(received));
    for (auto end = input_.find("\r\n"); end != std::string::npos && clientFd_ >= 0;
         end = input_.find("\r\n")) {
        const std::string line = input_.substr(0, end);
        input_.erase(0, end + 2);
        handle(line);
    }
}

void FaultyController::handle(const std::string& line) {
    const auto now = Clock::now();
    Reply reply{now, order_++, "", "", 1, false, false, false};
    const bool moving = motionEnd().has_value();
    reply.awaited = !moving;

    if (!calm_ && !startsWith(line, "$Login") && line != "$Logout" && chance(0.004)) {
        // A reset right after the command: whether it ran is unknown to the connector.
        record(WireEvent::Kind::Received, line, "reset");
        count("reset after a command");
        closeClient(true, "by controller");
        return;
    }

    if (startsWith(line, "$Login") || line == "$Logout") {
        record(WireEvent::Kind::Received, line, "L");
        reply.line = startsWith(line, "$Login") ? "#Login,0" : "#Logout,0";
        reply.tag = "L";
        schedule(reply);
        return;
    }

    static const std::string kExecute = "$Execute,\"";
    if (startsWith(line, kExecute) && line.size() > kExecute.size() && line.back() == '"') {
        const std::string statement = line.substr(kExecute.size(), line.size() - 11);
        for (const std::string motion : {"Go P", "Move P"}) {
            if (!startsWith(statement, motion)) {
                continue;
            }
            reply.tag = "M" + statement.substr(motion.size());
            record(WireEvent::Kind::Received, line, reply.tag);
            if (moving) {
                violation("a motion while another runs: " + line);
            }
            reply.motion = true;
            // Mostly short motions, so that many of them end in a run; a few outlast the
            // deadline of a control command sent during them.
            const double kind = uniform(0.0, 1.0);
            reply.due += secondsOf(++motions_ % 8 == 0 ? uniform(5.5, 6.5)
                                   : kind < 0.95       ? uniform(0.02, 0.4)
                                                       : uniform(0.5, 2.0));
            reply.line = chance(0.8) ? "#Execute,0" : "!Execute," + std::to_string(nextCode_++);
            plan(reply, 0.0, 0.0, 0.02);
            schedule(reply);
            std::lock_guard lock(mutex_);
            motionEnd_ = reply.due;
            return;
        }
        if (statement == "Motor On" || statement == "Motor Off") {
            reply.tag = "P" + std::to_string(++powerCommands_);
            record(WireEvent::Kind::Received, line, reply.tag);
            if (moving) {
                violation("a motor command while a motion runs: " + line);
            }
            if (calm_ || chance(0.9)) {
                motorsOn_ = statement == "Motor On";
                reply.line = "#Execute,0";
            } else {
                reply.line = "!Execute," + std::to_string(nextCode_++);
            }
            if (calm_ || plan(reply, 0.001, 0.0005, 0.01)) {
                schedule(reply);
            } else {
                record(WireEvent::Kind::Late, line, reply.tag);
            }
            return;
        }
        static const std::string kQuery = "Print PAgl(XY(";
        if (startsWith(statement, kQuery)) {
            const std::size_t xEnd = statement.find(',', kQuery.size());
            const std::size_t jointStart = statement.rfind(',') + 1;
            const long x = std::strtol(statement.c_str() + kQuery.size(), nullptr, 10);
            const long joint = std::strtol(statement.c_str() + jointStart, nullptr, 10);
            reply.tag = "Q" + std::to_string(x / 10) + "/" + std::to_string(joint);
            record(WireEvent::Kind::Received, line, reply.tag);
            if (moving) {
                violation("a query while a motion runs: " + line);
            }
            if (xEnd == std::string::npos) {
                violation("a query without a pose: " + line);
            }
            reply.line = chance(0.96) ? "#Execute,\"" + std::to_string(x + joint) + "\""
                                      : "!Execute," + std::to_string(nextCode_++);
            // Six of these make one query: rare faults each, or no query would ever succeed.
            if (plan(reply, 0.001, 0.0005, 0.01)) {
                schedule(reply);
            } else {
                record(WireEvent::Kind::Late, line, reply.tag);
            }
            return;
        }
    }

    if (line == "$GetStatus") {
        reply.tag = "C" + std::to_string(++controlLines_);
        record(WireEvent::Kind::Received, line, reply.tag);
        // Test, Teach, Auto, Warning, SError, Safeguard, EStop, Error, Paused, Running, Ready.
        reply.line = std::string("#GetStatus,001000000") + (moving ? "10" : "01") + ",0000";
        if (plan(reply, 0.0, 0.0, 0.01)) {
            schedule(reply);
        }
        return;
    }

    if (line == "$Pause" || line == "$Continue" || line == "$Abort") {
        const std::string name = line.substr(1);
        reply.tag = "C" + std::to_string(++controlLines_);
        record(WireEvent::Kind::Received, line, reply.tag);
        reply.line =
            chance(0.7) ? "#" + name + ",0" : "!" + name + "," + std::to_string(nextCode_++);
        if (chance(0.07)) {
            // A line of no known form in its place: its reader fails, nothing else may.
            reply.line = "#Bogus," + std::to_string(nextCode_++);
            count("unknown reply line");
        }
        if (name == "Abort" && moving) {
            // The motion ends soon, refused, unless its reply is already on its way.
            for (auto& pending : replies_) {
                if (pending.motion) {
                    pending.due = std::min(pending.due, now + secondsOf(uniform(0.01, 0.08)));
                    pending.line = "!Execute," + std::to_string(nextCode_++);
                    std::lock_guard lock(mutex_);
                    motionEnd_ = pending.due;
                    aborts_[reply.tag] = pending.tag;
                }
            }
            count("abort of a running motion");
        }
        if (chance(0.05)) {
            readingStopsUntil_ = now + secondsOf(uniform(0.3, 1.5));
            count("stopped reading");
        }
        // A reply past the connector's deadline costs a run five seconds, so it comes on a
        // schedule rather than by chance: every fourth command sent beside a motion gets one.
        const bool owedLate = moving && ++controlsBesideMotions_ % 4 == 0;
        if (owedLate) {
            count("control reply past the deadline");
            if (controlsBesideMotions_ % 8 == 0) {
                count("withheld");
                return;
            }
            reply.due += secondsOf(uniform(5.3, 6.5));
        }
        if (owedLate || plan(reply, 0.01, 0.005, 0.02)) {
            schedule(reply);
        } else if (reply.awaited) {
            record(WireEvent::Kind::Late, line, reply.tag);
        }
        return;
    }
    record(WireEvent::Kind::Received, line, "");
    violation("unknown command: " + line);
}

bool FaultyController::plan(Reply& reply, double slowShare, double withheldShare,
                            double dropShare) {
    if (calm_) {
        return true;
    }
    const double draw = uniform(0.0, 1.0);
    if (draw < withheldShare) {
        count("withheld");
        return false;
    }
    if (draw < withheldShare + slowShare) {
        reply.due += secondsOf(uniform(5.3, 6.5));
        count("delayed past the deadline");
    } else if (chance(0.1)) {
        reply.due += secondsOf(uniform(0.02, 0.3));
    } else {
        reply.due += secondsOf(uniform(0.0, 0.02));
    }
    if (chance(0.15)) {
        reply.pieces = 2 + static_cast<int>(random_() % 3);
        count("split");
    }
    if (chance(0.2)) {
        reply.coalesce = true;
        count("coalesced");
    }
    reply.drop = chance(dropShare);
    return true;
}

void FaultyController::schedule(Reply reply) {
    // A controller answers its commands in their order; only a running motion's reply may come
    // after the replies of commands sent beside it.
    if (!reply.motion) {
        reply.due = std::max(reply.due, lastReplyDue_);
        lastReplyDue_ = reply.due;
    }
    // A reply awaited this late costs the connector its connection, rightly; so does one that
    // waits behind it, since replies keep their order.
    if ((reply.awaited || reply.tag.starts_with("Q")) && reply.due - Clock::now() > 5s) {
        record(WireEvent::Kind::Late, reply.line, reply.tag);
    }
    replies_.push_back(std::move(reply));
}

void FaultyController::flushDue() {
    std::sort(replies_.begin(), replies_.end(), [](const Reply& a, const Reply& b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
    });
    const auto now = Clock::now();
    while (clientFd_ >= 0 && !replies_.empty()) {
        const Reply first = replies_.front();
        if (first.due + (first.coalesce ? 15ms : 0ms) > now) {
            return;
        }
        replies_.erase(replies_.begin());
        std::string bytes = first.line + "\r\n";
        if (first.drop) {
            record(WireEvent::Kind::Dropped, first.line, first.tag);
            count("dropped mid-reply");
            writeAll(bytes.substr(0, std::max<std::size_t>(1, bytes.size() / 2)));
            closeClient(chance(0.5), "by controller");
            return;
        }
        std::vector<Reply> batch{first};
        while (first.coalesce && !replies_.empty() && replies_.front().due <= now &&
               !replies_.front().drop) {
            batch.push_back(replies_.front());
            bytes += replies_.front().line + "\r\n";
            replies_.erase(replies_.begin());
        }
        // Now and then a line that answers nothing in front: blank, only blanks, or an error
        // naming a command nobody sent. The reader that meets it cannot know its own outcome.
        if (!calm_ && first.tag != "L" && chance(0.03)) {
            const auto kind = random_() % 3;
            const std::string stray = kind == 0   ? std::string()
                                      : kind == 1 ? std::string(" \t ")
                                                  : "!Status," + std::to_string(nextCode_++);
            count(kind == 2 ? "error line naming no command sent" : "blank line");
            record(WireEvent::Kind::Sent, stray, "stray");
            bytes = stray + "\r\n" + bytes;
        }
        // Recorded before the write: the connector may act on a reply before this thread runs
        // again, and "sent" must never look later than "received".
        for (const auto& reply : batch) {
            record(WireEvent::Kind::Sent, reply.line, reply.tag);
            if (reply.motion) {
                std::lock_guard lock(mutex_);
                motionEnd_.reset();
            }
        }
        bool written = true;
        if (batch.size() == 1 && first.pieces > 1) {
            const std::size_t piece = std::max<std::size_t>(1, bytes.size() / first.pieces);
            for (std::size_t at = 0; written && at < bytes.size(); at += piece) {
                written = writeAll(bytes.substr(at, piece));
                std::this_thread::sleep_for(std::chrono::milliseconds(2 + random_() % 8));
            }
        } else {
            written = writeAll(bytes);
        }
        if (!written) {
            closeClient(false, "by client");
            return;
        }
    }
}

bool FaultyController::writeAll(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent =
            ::send(clientFd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

void FaultyController::record(WireEvent::Kind kind, const std::string& line,
                              const std::string& tag) {
    std::lock_guard lock(mutex_);
    events_.push_back(WireEvent{kind, connection_, Clock::now(), line, tag});
}

void FaultyController::count(const std::string& fault) {
    std::lock_guard lock(mutex_);
    ++faults_[fault];
}

void FaultyController::violation(const std::string& what) {
    std::lock_guard lock(mutex_);
    violations_.push_back(what);
}

double FaultyController::uniform(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random_);
}

bool FaultyController::chance(double share) {
    return uniform(0.0, 1.0) < share;
}

}  // namespace epson::test
