#pragma once

// Shared by the harnesses: property checks that libFuzzer reports as crashes, and a peer on a
// socket pair that feeds real bytes to the code under test.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

namespace epson::fuzz {

/// Printable form of @p text for failure reports, cut to a readable length.
inline std::string escaped(std::string_view text, std::size_t limit = 400) {
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (text.size() > limit) {
        out += "... (" + std::to_string(text.size()) + " bytes)";
    }
    return out;
}

[[noreturn]] inline void failProperty(const char* condition, const char* file, int line,
                                      std::string_view detail) {
    std::fprintf(stderr, "\n%s:%d: property violated: %s\n  %s\n", file, line, condition,
                 escaped(detail).c_str());
    std::fflush(stderr);
    std::abort();  // libFuzzer saves the input as a crash artifact
}

}  // namespace epson::fuzz

/// Aborts with @p detail (anything convertible to std::string_view) when @p condition is false.
#define FUZZ_CHECK(condition, detail)                                              \
    do {                                                                           \
        if (!(condition)) {                                                        \
            ::epson::fuzz::failProperty(#condition, __FILE__, __LINE__, (detail)); \
        }                                                                          \
    } while (false)

namespace epson::fuzz {

inline bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

/// @p message as std::exception::what() can carry it: up to its first NUL byte.
inline std::string asWhat(const std::string& message) {
    return message.substr(0, message.find('\0'));
}

inline bool oddQuoteCount(std::string_view text) {
    return std::count(text.begin(), text.end(), '"') % 2 != 0;
}

/// A connected AF_UNIX stream pair. The code under test takes the local end; the harness plays
/// the peer on the other: it sends its bytes, then end-of-stream, so every read of the code under
/// test ends without waiting for a deadline.
class SocketPeer {
  public:
    SocketPeer() {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) {
            std::perror("socketpair");
            std::abort();
        }
    }
    ~SocketPeer() {
        finish();
        for (int& fd : fds_) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    SocketPeer(const SocketPeer&) = delete;
    SocketPeer& operator=(const SocketPeer&) = delete;

    /// Hands the local end over; its new owner closes it.
    int takeLocalEnd() {
        const int fd = fds_[0];
        fds_[0] = -1;
        return fd;
    }

    /// Sends @p bytes and then shuts the peer's sending side. A payload that may not fit the
    /// socket buffer is written by a thread, because nobody reads it before the code under test
    /// runs.
    void sendThenClose(std::string bytes) {
        if (bytes.size() <= kDirectWriteLimit) {
            writeAll(fds_[1], bytes);
            ::shutdown(fds_[1], SHUT_WR);
            return;
        }
        writer_ = std::thread([fd = fds_[1], bytes = std::move(bytes)] {
            writeAll(fd, bytes);
            ::shutdown(fd, SHUT_WR);
        });
    }

    /// Waits for the writer. Call it after the local end is closed, so that a writer blocked on
    /// a full buffer fails with EPIPE instead of waiting for ever.
    void finish() {
        if (writer_.joinable()) {
            writer_.join();
        }
    }

    /// Everything the code under test has written so far.
    std::string received() {
        std::string out;
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::recv(fds_[1], chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) {
                out.append(chunk, static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return out;
            }
        }
    }

  private:
    static constexpr std::size_t kDirectWriteLimit = 16 * 1024;

    static void writeAll(int fd, const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;  // the reader has gone; what it saw is what counts
            }
            done += static_cast<std::size_t>(n);
        }
    }

    int fds_[2] = {-1, -1};
    std::thread writer_;
};

}  // namespace epson::fuzz
