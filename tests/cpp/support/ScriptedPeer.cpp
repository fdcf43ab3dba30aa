#include "ScriptedPeer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include <gtest/gtest.h>

namespace epson::test {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = 20ms;

int makeLoopbackSocket(std::uint16_t& port, bool listening) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket() failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        (listening && ::listen(fd, 8) != 0)) {
        ::close(fd);
        throw std::runtime_error("bind/listen on 127.0.0.1 failed");
    }
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

bool pollFor(int fd, short events, std::chrono::milliseconds timeout) {
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace

std::string crlf(std::string_view line) {
    return std::string(line) + "\r\n";
}

std::string escaped(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02x", static_cast<unsigned char>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out.size() > 300 ? out.substr(0, 300) + "...(" + std::to_string(bytes.size()) + " bytes)"
                            : out;
}

ScriptedPeer::ScriptedPeer() {
    listenFd_ = makeLoopbackSocket(port_, true);
}

ScriptedPeer::~ScriptedPeer() {
    finish();
    for (const auto& failure : failures()) {
        ADD_FAILURE() << "scripted peer: " << failure;
    }
    for (std::size_t i = stepsRun_; i < steps_.size(); ++i) {
        ADD_FAILURE() << "scripted peer: step " << i + 1 << " (" << steps_[i].description
                      << ") was never used";
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
}

ScriptedPeer& ScriptedPeer::add(std::string description, std::function<bool(ScriptedPeer&)> run) {
    if (thread_.joinable()) {
        throw std::logic_error("ScriptedPeer: steps must be added before start()");
    }
    steps_.push_back(Step{std::move(description), std::move(run)});
    return *this;
}

ScriptedPeer& ScriptedPeer::expect(std::string bytes, std::chrono::milliseconds timeout) {
    const std::string description = "expect \"" + escaped(bytes) + "\"";
    return add(description, [bytes = std::move(bytes), timeout](ScriptedPeer& peer) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const auto have = std::min(peer.pending_.size(), bytes.size());
            if (peer.pending_.compare(0, have, bytes, 0, have) != 0) {
                peer.fail("expected \"" + escaped(bytes) + "\" but received \"" +
                          escaped(peer.pending_) + "\"");
                return false;
            }
            if (have == bytes.size()) {
                peer.pending_.erase(0, bytes.size());
                return true;
            }
            if (Clock::now() >= deadline || peer.stopping()) {
                peer.fail("timed out expecting \"" + escaped(bytes) + "\"; received \"" +
                          escaped(peer.pending_) + "\"");
                return false;
            }
            if (!peer.readSome(kTick) && peer.clientClosed_) {
                peer.fail("connection closed while expecting \"" + escaped(bytes) +
                          "\"; received \"" + escaped(peer.pending_) + "\"");
                return false;
            }
        }
    });
}

ScriptedPeer& ScriptedPeer::expectLine(std::string_view line, std::chrono::milliseconds timeout) {
    return expect(crlf(line), timeout);
}

ScriptedPeer& ScriptedPeer::send(std::string bytes) {
    const std::string description = "send \"" + escaped(bytes) + "\"";
    return add(description,
               [bytes = std::move(bytes)](ScriptedPeer& peer) { return peer.writeAll(bytes); });
}

ScriptedPeer& ScriptedPeer::sendLine(std::string_view line) {
    return send(crlf(line));
}

ScriptedPeer& ScriptedPeer::sendSegments(std::vector<std::string> pieces,
                                         std::chrono::milliseconds gap) {
    std::string description = "send in " + std::to_string(pieces.size()) + " segments";
    return add(description, [pieces = std::move(pieces), gap](ScriptedPeer& peer) {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (i != 0) {
                std::this_thread::sleep_for(gap);  // separate segments need time between writes
            }
            if (!peer.writeAll(pieces[i])) {
                return false;
            }
        }
        return true;
    });
}

ScriptedPeer& ScriptedPeer::exchange(std::string_view command, std::string_view reply) {
    return expectLine(command).sendLine(reply);
}

ScriptedPeer& ScriptedPeer::wait(std::chrono::milliseconds duration) {
    return add("wait " + std::to_string(duration.count()) + " ms", [duration](ScriptedPeer& peer) {
        const auto deadline = Clock::now() + duration;
        while (Clock::now() < deadline && !peer.stopping()) {
            if (!peer.clientClosed_) {
                peer.readSome(std::min<std::chrono::milliseconds>(
                    kTick, std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - Clock::now() + 1ms)));
            } else {
                std::this_thread::sleep_for(kTick);
            }
        }
        return true;
    });
}

ScriptedPeer& ScriptedPeer::expectSilence(std::chrono::milliseconds duration) {
    return add(
        "silence for " + std::to_string(duration.count()) + " ms", [duration](ScriptedPeer& peer) {
            const auto deadline = Clock::now() + duration;
            while (Clock::now() < deadline && !peer.stopping()) {
                if (!peer.pending_.empty()) {
                    peer.fail("expected silence but received \"" + escaped(peer.pending_) + "\"");
                    return false;
                }
                if (!peer.readSome(kTick) && peer.clientClosed_) {
                    std::this_thread::sleep_for(kTick);
                }
            }
            return true;
        });
}

ScriptedPeer& ScriptedPeer::gate(std::string name, std::chrono::milliseconds timeout) {
    const std::string description = "gate " + name;
    return add(description, [name = std::move(name), timeout](ScriptedPeer& peer) {
        std::unique_lock lock(peer.mutex_);
        const bool opened = peer.changed_.wait_for(
            lock, timeout, [&] { return peer.openGates_.count(name) != 0 || peer.stopping(); });
        if (!opened || peer.openGates_.count(name) == 0) {
            lock.unlock();
            peer.fail("gate " + name + " was never opened");
            return false;
        }
        return true;
    });
}

ScriptedPeer& ScriptedPeer::mark(std::string name) {
    const std::string description = "mark " + name;
    return add(description, [name = std::move(name)](ScriptedPeer& peer) {
        std::lock_guard lock(peer.mutex_);
        peer.marks_.insert(name);
        peer.changed_.notify_all();
        return true;
    });
}

ScriptedPeer& ScriptedPeer::close() {
    return add("close", [](ScriptedPeer& peer) {
        peer.closeClient();
        return true;
    });
}

ScriptedPeer& ScriptedPeer::expectClosed(std::chrono::milliseconds timeout) {
    return add("expect the client to close", [timeout](ScriptedPeer& peer) {
        const auto deadline = Clock::now() + timeout;
        while (!peer.clientClosed_) {
            if (!peer.pending_.empty()) {
                peer.fail("expected the client to close but received \"" + escaped(peer.pending_) +
                          "\"");
                return false;
            }
            if (Clock::now() >= deadline || peer.stopping()) {
                peer.fail("the client did not close the connection");
                return false;
            }
            peer.readSome(kTick);
        }
        if (!peer.pending_.empty()) {
            peer.fail("received \"" + escaped(peer.pending_) + "\" before the client closed");
            return false;
        }
        return true;
    });
}

ScriptedPeer& ScriptedPeer::acceptNext(std::chrono::milliseconds timeout) {
    return add("accept the next connection", [timeout](ScriptedPeer& peer) {
        peer.closeClient();
        peer.pending_.clear();
        return peer.acceptClient(timeout);
    });
}

void ScriptedPeer::start() {
    thread_ = std::thread([this] { runScript(); });
}

void ScriptedPeer::runScript() {
    if (!acceptClient(10s)) {
        scriptDone_ = true;
        changed_.notify_all();
        return;
    }
    for (auto& step : steps_) {
        if (stopping()) {
            break;
        }
        const bool ok = step.run(*this);
        ++stepsRun_;
        if (!ok) {
            closeClient();
            break;
        }
    }
    {
        std::lock_guard lock(mutex_);
        scriptDone_ = true;
    }
    changed_.notify_all();
    // Hold the connection open until the test is done with it; anything sent now is
    // unscripted.
    while (!stopping()) {
        if (clientFd_ >= 0 && !clientClosed_) {
            readSome(kTick);
            if (!pending_.empty()) {
                fail("received \"" + escaped(pending_) + "\" after the script ended");
                pending_.clear();
            }
        } else {
            std::this_thread::sleep_for(kTick);
        }
    }
    closeClient();
}

bool ScriptedPeer::finish(std::chrono::milliseconds timeout) {
    if (thread_.joinable()) {
        waitForScriptEnd(timeout);
        stop_ = true;
        changed_.notify_all();
        thread_.join();
    }
    std::lock_guard lock(mutex_);
    return failures_.empty() && stepsRun_ == steps_.size();
}

void ScriptedPeer::openGate(const std::string& name) {
    std::lock_guard lock(mutex_);
    openGates_.insert(name);
    changed_.notify_all();
}

bool ScriptedPeer::waitForMark(const std::string& name, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return marks_.count(name) != 0; });
}

bool ScriptedPeer::waitForScriptEnd(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return scriptDone_.load(); });
}

std::string ScriptedPeer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

bool ScriptedPeer::waitForReceived(std::string_view text, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return received_.find(text) != std::string::npos; });
}

int ScriptedPeer::acceptedConnections() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::vector<std::string> ScriptedPeer::failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

bool ScriptedPeer::acceptClient(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!pollFor(listenFd_, POLLIN, kTick)) {
        if (Clock::now() >= deadline || stopping()) {
            fail("no client connected");
            return false;
        }
    }
    clientFd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (clientFd_ < 0) {
        fail("accept() failed");
        return false;
    }
    const int one = 1;
    ::setsockopt(clientFd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    clientClosed_ = false;
    std::lock_guard lock(mutex_);
    ++accepted_;
    return true;
}

void ScriptedPeer::closeClient() {
    if (clientFd_ >= 0) {
        ::close(clientFd_);
        clientFd_ = -1;
    }
    clientClosed_ = true;
}

bool ScriptedPeer::readSome(std::chrono::milliseconds timeout) {
    if (clientFd_ < 0 || clientClosed_) {
        return false;
    }
    if (!pollFor(clientFd_, POLLIN, timeout)) {
        return true;
    }
    char chunk[65536];
    const ssize_t n = ::recv(clientFd_, chunk, sizeof(chunk), 0);
    if (n <= 0) {
        clientClosed_ = true;
        return false;
    }
    pending_.append(chunk, static_cast<std::size_t>(n));
    {
        std::lock_guard lock(mutex_);
        received_.append(chunk, static_cast<std::size_t>(n));
    }
    changed_.notify_all();
    return true;
}

bool ScriptedPeer::writeAll(std::string_view bytes) {
    while (!bytes.empty()) {
        if (clientFd_ < 0) {
            fail("cannot send: no connection");
            return false;
        }
        const ssize_t n = ::send(clientFd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("send() failed");
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void ScriptedPeer::fail(const std::string& message) {
    std::lock_guard lock(mutex_);
    failures_.push_back("step " + std::to_string(stepsRun_ + 1) + ": " + message);
}

RefusingPort::RefusingPort() {
    fd_ = makeLoopbackSocket(port_, false);
}

RefusingPort::~RefusingPort() {
    ::close(fd_);
}

}  // namespace epson::test
