#pragma once

// Plain POSIX socket clients for the simulator tests: a command client that speaks CR LF lines
// and a telemetry reader that splits the stream at carriage returns. Every wait has a deadline.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "epson_sim/Simulator.hpp"

namespace sim_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A connect to 127.0.0.1:port; -1 with errno set when it fails. A receive buffer of this many
// bytes (0: the system's) makes a client that does not read stall its peer's writes soon.
inline int connectLoopback(std::uint16_t port, int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    if (receiveBuffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

class Client {
  public:
    explicit Client(std::uint16_t port, int receiveBuffer = 0)
        : fd_(connectLoopback(port, receiveBuffer)) {}
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    void sendRaw(const std::string& bytes) const {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    }
    void sendLine(const std::string& line) const { sendRaw(line + "\r\n"); }

    // One recv() within the timeout: what arrived in one go. Empty on time-out or end of stream.
    std::string readSome(milliseconds timeout) {
        if (!waitReadable(timeout)) {
            return {};
        }
        char data[4096];
        const ssize_t n = ::recv(fd_, data, sizeof data, 0);
        if (n <= 0) {
            eof_ = true;
            return {};
        }
        return std::string(data, static_cast<std::size_t>(n));
    }

    // The next piece up to the delimiter (without it, and without a CR before an LF).
    std::optional<std::string> readUntil(char delimiter, milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const auto end = buffer_.find(delimiter);
            if (end != std::string::npos) {
                std::string piece = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                if (delimiter == '\n' && !piece.empty() && piece.back() == '\r') {
                    piece.pop_back();
                }
                return piece;
            }
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || eof_) {
                return std::nullopt;
            }
            buffer_ += readSome(left);
        }
    }
    std::optional<std::string> readLine(milliseconds timeout = 3s) {
        return readUntil('\n', timeout);
    }

    // Sends a command and returns its reply line ("<no reply>" when none came in time).
    std::string command(const std::string& line, milliseconds timeout = 3s) {
        sendLine(line);
        return readLine(timeout).value_or("<no reply>");
    }
    std::string execute(const std::string& statement, milliseconds timeout = 3s) {
        return command("$Execute,\"" + statement + "\"", timeout);
    }
    // The text between the quotes of a Print reply, or the whole reply when it is not one.
    std::string print(const std::string& expressions) {
        const std::string reply = execute("Print " + expressions);
        const std::string prefix = "#Execute,\"";
        if (reply.rfind(prefix, 0) == 0 && reply.size() > prefix.size() && reply.back() == '"') {
            return reply.substr(prefix.size(), reply.size() - prefix.size() - 1);
        }
        return reply;
    }

    // Whether the peer closes the connection within the timeout (data before the end is
    // skipped).
    bool closedByPeer(milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (!eof_) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            buffer_ += readSome(left);
        }
        return true;
    }
    // Whether the peer resets the connection (RST) within the timeout.
    bool resetByPeer(milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            if (!waitReadable(left)) {
                return false;
            }
            char data[4096];
            const ssize_t n = ::recv(fd_, data, sizeof data, 0);
            if (n < 0) {
                return errno == ECONNRESET;
            }
            if (n == 0) {
                return false;  // an orderly close
            }
        }
        return false;
    }
    // Sends until the peer stops taking bytes (it closed or reset), or the deadline passes.
    bool sendUntilRefused(const std::string& bytes, milliseconds timeout) const {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
                errno != EAGAIN && errno != EWOULDBLOCK) {
                return true;
            }
        }
        return false;
    }
    // Nothing at all arrives for this long (and the connection stays open).
    bool quietFor(milliseconds period) {
        if (!buffer_.empty()) {
            return false;
        }
        return readSome(period).empty() && !eof_;
    }

  private:
    bool waitReadable(milliseconds timeout) const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(std::max<long long>(timeout.count(), 0))) > 0;
    }

    int fd_;
    std::string buffer_;
    bool eof_ = false;
};

// A client that has logged in (any password when none is configured).
inline void login(Client& client, const std::string& password = "") {
    ASSERT_TRUE(client.connected());
    ASSERT_EQ(client.command("$Login," + password), "#Login,0");
}

// Executes each statement and expects it accepted; wrap in ASSERT_NO_FATAL_FAILURE to stop
// the test at the first refusal.
inline void executeAll(Client& client, const std::vector<std::string>& statements) {
    for (const auto& statement : statements) {
        ASSERT_EQ(client.execute(statement), "#Execute,0") << statement;
    }
}

// key=value;... of one telemetry packet, values kept as text.
inline std::map<std::string, std::string> fields(const std::string& packet) {
    std::map<std::string, std::string> result;
    std::stringstream stream(packet);
    std::string field;
    while (std::getline(stream, field, ';')) {
        const auto eq = field.find('=');
        if (eq != std::string::npos) {
            result[field.substr(0, eq)] = field.substr(eq + 1);
        }
    }
    return result;
}

inline std::vector<double> numbers(const std::string& text) {
    std::vector<double> values;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        values.push_back(std::stod(item));
    }
    return values;
}

// Polls a condition until it holds or the deadline passes.
template <class Predicate>
bool eventually(Predicate predicate, milliseconds timeout = 2s) {
    const auto deadline = Clock::now() + timeout;
    while (!predicate()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

/// The arm's rest pose, which the motion and fidelity tests start from.
inline const epson::sim::Joints kHome{0, 0, 0, 0, -90, 0};

inline epson::sim::SimulatorOptions fastOptions(double timeScale = 0.02) {
    epson::sim::SimulatorOptions options;
    options.commandPort = 0;
    options.telemetryPort = 0;
    options.timeScale = timeScale;
    return options;
}

// "XY(x,y,z,u,v,w)" and "AglToPls(j1,...,j6)" with every digit of the values.
inline std::string pointLiteral(const std::string& function, const std::array<double, 6>& values) {
    std::string text;
    for (double v : values) {
        char number[32];
        std::snprintf(number, sizeof number, "%.17g", v);
        text += (text.empty() ? "" : ",") + std::string(number);
    }
    return function + "(" + text + ")";
}
inline std::string xy(const std::array<double, 6>& pose) {
    return pointLiteral("XY", pose);
}
inline std::string aglToPls(const std::array<double, 6>& joints) {
    return pointLiteral("AglToPls", joints);
}

inline double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace sim_test
