#include "TelemetryPeer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace epson::test {

namespace {

using namespace std::chrono_literals;

constexpr int kBacklog = 8;
constexpr int kTickMs = 20;
constexpr int kFillerAttempts = 8;
constexpr int kFillerWaitMs = 200;

sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

std::uint16_t localPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::system_error(errno, std::generic_category(), "getsockname");
    }
    return ntohs(address.sin_port);
}

// Shortest text that parses back to exactly @p value.
std::string number(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof(text), value);
    return std::string(text, result.ptr);
}

}  // namespace

std::string telemetrySamplePacket(const std::array<double, 6>& joints,
                                  const std::array<double, 6>& pose) {
    static constexpr std::array<const char*, 6> kPoseKeys{"X", "Y", "Z", "U", "V", "W"};
    std::string packet;
    for (std::size_t i = 0; i < 6; ++i) {
        packet += std::string(kPoseKeys[i]) + "=" + number(pose[i]) + ";";
    }
    for (std::size_t i = 0; i < 6; ++i) {
        packet += "J" + std::to_string(i + 1) + "agl=" + number(joints[i]) + (i < 5 ? ";" : "");
    }
    return packet;
}

std::string telemetryStatusPacket(std::int64_t stat, std::int64_t systemError,
                                  std::int64_t controlDevice, std::int64_t robotInfo,
                                  std::int64_t ctrlInfo) {
    return "STAT=" + std::to_string(stat) + ";SYSERR=" + std::to_string(systemError) +
           ";CTRLDEV=" + std::to_string(controlDevice) + ";ROBOTINFO=" + std::to_string(robotInfo) +
           ";CTRLINFO=" + std::to_string(ctrlInfo);
}

bool pollUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return predicate();
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TelemetryPeer::TelemetryPeer() {
    // Non-blocking, so that an accept after a readiness report can never hang the peer.
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    const int enable = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof(enable));
    const sockaddr_in address = loopbackAddress(0);
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listenFd_, kBacklog) != 0) {
        const int error = errno;
        ::close(listenFd_);
        throw std::system_error(error, std::generic_category(), "bind/listen on 127.0.0.1");
    }
    port_ = localPort(listenFd_);
    thread_ = std::thread([this] { run(); });
}

TelemetryPeer::~TelemetryPeer() {
    stop_.store(true);
    thread_.join();
    std::lock_guard lock(mutex_);
    dropClient();
    for (const int fd : fillerFds_) {
        ::close(fd);
    }
    ::close(listenFd_);
}

void TelemetryPeer::setGreeting(std::vector<std::string> packets) {
    std::lock_guard lock(mutex_);
    greeting_ = std::move(packets);
}

bool TelemetryPeer::sendPacket(std::string_view packet) {
    return sendRaw(std::string(packet) + "\r\n");
}

bool TelemetryPeer::sendRaw(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    return writeAll(bytes);
}

void TelemetryPeer::closeClient() {
    std::lock_guard lock(mutex_);
    dropClient();
}

int TelemetryPeer::acceptCount() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

int TelemetryPeer::remoteCloseCount() const {
    std::lock_guard lock(mutex_);
    return remoteCloses_;
}

bool TelemetryPeer::hasClient() const {
    std::lock_guard lock(mutex_);
    return clientFd_ >= 0;
}

bool TelemetryPeer::waitForAccepts(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return accepted_ >= count; });
}

bool TelemetryPeer::waitForRemoteCloses(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return remoteCloses_ >= count; });
}

void TelemetryPeer::stallHandshakes() {
    {
        std::lock_guard lock(mutex_);
        stalled_ = true;
        // Linux lets a listener change its backlog; with 0 one queued connection fills it.
        ::listen(listenFd_, 0);
    }
    for (int attempt = 0; attempt < kFillerAttempts; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            throw std::system_error(errno, std::generic_category(), "socket");
        }
        const sockaddr_in address = loopbackAddress(port_);
        const bool immediate =
            ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
        pollfd entry{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof(error);
        const bool completed =
            immediate ||
            (::poll(&entry, 1, kFillerWaitMs) > 0 &&
             ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0);
        if (!completed) {
            // Its SYN went unanswered: the queue is full. Closing it leaves no SYN-SENT socket
            // of ours behind to confuse handshakePending().
            ::close(fd);
            return;
        }
        std::lock_guard lock(mutex_);
        fillerFds_.push_back(fd);
        fillerPorts_.push_back(localPort(fd));
    }
    throw std::runtime_error("TelemetryPeer: the accept queue did not fill up");
}

void TelemetryPeer::resumeHandshakes() {
    std::lock_guard lock(mutex_);
    acceptQueued();  // drops the fillers by their port; a real client that got in is kept
    for (const int fd : fillerFds_) {
        ::close(fd);
    }
    fillerFds_.clear();
    fillerPorts_.clear();
    ::listen(listenFd_, kBacklog);
    stalled_ = false;
}

bool TelemetryPeer::handshakePending() const {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        std::string remote;
        std::string state;
        fields >> slot >> local >> remote >> state;
        const std::size_t colon = remote.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const unsigned long remotePort = std::stoul(remote.substr(colon + 1), nullptr, 16);
        if (remotePort == port_ && state == "02") {  // 02: SYN-SENT
            return true;
        }
    }
    return false;
}

void TelemetryPeer::run() {
    while (!stop_.load()) {
        pollfd entries[2]{};
        {
            std::lock_guard lock(mutex_);
            entries[0] = {stalled_ ? -1 : listenFd_, POLLIN, 0};
            entries[1] = {clientFd_, POLLIN, 0};
        }
        if (::poll(entries, 2, kTickMs) <= 0) {
            continue;
        }
        std::lock_guard lock(mutex_);
        if ((entries[0].revents & POLLIN) != 0 && !stalled_) {
            acceptQueued();
        }
        // The test may have replaced the connection meanwhile; a stale report costs one
        // non-blocking read that finds nothing.
        if (entries[1].revents != 0 && clientFd_ >= 0 && clientFd_ == entries[1].fd) {
            char buffer[4096];
            const ssize_t received = ::recv(clientFd_, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (received == 0 ||
                (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                dropClient();
                ++remoteCloses_;
                changed_.notify_all();
            }
        }
    }
}

void TelemetryPeer::acceptQueued() {
    while (true) {
        sockaddr_in address{};
        socklen_t length = sizeof(address);
        const int fd =
            ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;  // nothing queued
        }
        const std::uint16_t remotePort = ntohs(address.sin_port);
        if (std::find(fillerPorts_.begin(), fillerPorts_.end(), remotePort) != fillerPorts_.end()) {
            ::close(fd);
            continue;
        }
        dropClient();
        clientFd_ = fd;
        ++accepted_;
        for (const std::string& packet : greeting_) {
            writeAll(packet + "\r\n");
        }
        changed_.notify_all();
    }
}

bool TelemetryPeer::writeAll(std::string_view bytes) {
    if (clientFd_ < 0) {
        return false;
    }
    while (!bytes.empty()) {
        const ssize_t written = ::send(clientFd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void TelemetryPeer::dropClient() {
    if (clientFd_ >= 0) {
        ::close(clientFd_);
        clientFd_ = -1;
    }
}

}  // namespace epson::test
