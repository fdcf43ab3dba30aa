// _bench_native: the native halves of the benchmarks, driven from the Python scripts so that
// they run interleaved with the connector's Python calls in one process.
//
// - RawClient: the floor of a command round trip, blocking POSIX send/recv of the same bytes.
// - freshness(): a loopback telemetry peer writing at a fixed rate, and a reader thread that
//   notes when each packet becomes visible, through the receiver's getSample() or through a
//   plain blocking recv (the floor).
// - max_rate(): the same peer writing as fast as the socket takes it.
// - PacedPeer: a peer at a fixed rate for a receiver that Python connects and subscribes to.
// - recording_cost(): the process's CPU use at a fixed rate, with or without a recording.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "epson/CellCommandLink.hpp"
#include "epson/EthernetReceiveInterface.hpp"

namespace py = pybind11;

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void setNoDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int connectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        fail("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fail("connect");
    }
    setNoDelay(fd);
    return fd;
}

void sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            fail("send");
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
}

// ---- Command round trip floor ---------------------------------------------------------------

class RawClient {
  public:
    RawClient(std::uint16_t port, const std::string& login) : fd_(connectLoopback(port)) {
        if (!login.empty()) {
            const std::string wire = login + "\r\n";
            sendAll(fd_, wire.data(), wire.size());
            readLine();
            buffer_.erase(0, lineEnd_ + 2);
        }
    }
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    /// Times @p count exchanges of @p command, each checked to be answered by @p expect.
    std::vector<std::int64_t> roundTrips(int count, const std::string& command,
                                         const std::string& expect) {
        const std::string wire = command + "\r\n";
        std::vector<std::int64_t> times;
        times.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            const std::int64_t start = nowNs();
            sendAll(fd_, wire.data(), wire.size());
            readLine();
            const std::int64_t end = nowNs();
            if (buffer_.compare(0, expect.size(), expect) != 0 || lineEnd_ != expect.size()) {
                throw std::runtime_error("unexpected reply: " + buffer_.substr(0, lineEnd_));
            }
            buffer_.erase(0, lineEnd_ + 2);
            times.push_back(end - start);
        }
        return times;
    }

    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    /// Receives until buffer_ holds a line end; its position goes to lineEnd_.
    void readLine() {
        for (;;) {
            lineEnd_ = buffer_.find("\r\n");
            if (lineEnd_ != std::string::npos) {
                return;
            }
            char chunk[4096];
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                fail("recv");
            }
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }

    int fd_;
    std::string buffer_;
    std::size_t lineEnd_ = 0;
};

/// The connector itself driven from C++: the same getPowerMode() that the Python binding calls,
/// so that the binding's share of a round trip can be told apart from the link's.
class NativeLink {
  public:
    NativeLink(std::uint16_t port, const std::string& password) {
        link_.connect("127.0.0.1", port, password);
    }

    std::vector<std::int64_t> roundTrips(int count) {
        std::vector<std::int64_t> times;
        times.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            const std::int64_t start = nowNs();
            link_.getPowerMode();
            times.push_back(nowNs() - start);
        }
        return times;
    }

    void disconnect() { link_.disconnect(); }

  private:
    epson::CellCommandLink link_;
};

// ---- Telemetry peer ----------------------------------------------------------------------------

constexpr std::array<const char*, 12> kKeys{"X",     "Y",     "Z",     "U",     "V",     "W",
                                            "J1agl", "J2agl", "J3agl", "J4agl", "J5agl", "J6agl"};

/// A full sample packet in the simulator's layout. Every value is seq plus a fraction below one,
/// so the reader can tell which packet a sample came from and whether all twelve agree.
std::string samplePacket(std::int64_t seq) {
    char text[512];
    int length = 0;
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        length +=
            std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                          "%s%s=%.6f", i == 0 ? "" : ";", kKeys[i],
                          static_cast<double>(seq) + 0.012345 + 0.07 * static_cast<double>(i));
    }
    text[length++] = '\r';
    return std::string(text, static_cast<std::size_t>(length));
}

/// The sequence number of a sample, or -1 when its twelve values come from different packets.
std::int64_t sequenceOf(const epson::TelemetrySample& sample) {
    const auto seq = static_cast<std::int64_t>(std::floor(sample.tcpPose[0]));
    for (std::size_t i = 0; i < 6; ++i) {
        if (static_cast<std::int64_t>(std::floor(sample.tcpPose[i])) != seq ||
            static_cast<std::int64_t>(std::floor(sample.joints[i])) != seq) {
            return -1;
        }
    }
    return seq;
}

/// The sequence number at the start of a raw packet line ("X=<seq>.<fraction>;...").
std::int64_t sequenceOfLine(const char* line) {
    return static_cast<std::int64_t>(std::floor(std::strtod(line + 2, nullptr)));
}

class Listener {
  public:
    Listener() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd_, 4) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            fail("listen");
        }
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { ::close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    std::uint16_t port() const { return port_; }

    /// The next connection within @p timeout_ms, or -1.
    int accept(int timeout_ms) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, timeout_ms) != 1) {
            return -1;
        }
        const int fd = ::accept(fd_, nullptr, nullptr);
        if (fd >= 0) {
            setNoDelay(fd);
        }
        return fd;
    }

  private:
    int fd_;
    std::uint16_t port_ = 0;
};

/// Closes a descriptor on every path.
struct FdGuard {
    int fd = -1;
    ~FdGuard() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

/// The readers of a stream: the connector's receiver, polled through getSample(); the same
/// with a subscription that a thread of its own drains event by event (and, at the maximum
/// rate, a recording), or every 10 ms; and a blocking recv loop that only finds the line ends
/// (the floor).
enum class ReaderKind { Receiver, Subscribed, Batched, Raw };

ReaderKind readerKind(const std::string& name) {
    if (name == "receiver") {
        return ReaderKind::Receiver;
    }
    if (name == "subscribed") {
        return ReaderKind::Subscribed;
    }
    if (name == "batched") {
        return ReaderKind::Batched;
    }
    if (name == "raw") {
        return ReaderKind::Raw;
    }
    throw std::invalid_argument(
        "reader must be \"receiver\", \"subscribed\", \"batched\" or \"raw\"");
}

/// Drains a subscription on a thread of its own until it ends (the receiver's disconnect),
/// counting the samples and those that came out of order. It waits in pop() for each event, or
/// with a @p batchPeriod takes what is queued once per period and sleeps in between.
class Drainer {
  public:
    explicit Drainer(std::shared_ptr<epson::TelemetrySubscription> subscription,
                     std::chrono::milliseconds batchPeriod = std::chrono::milliseconds::zero())
        : subscription_(std::move(subscription)),
          batchPeriod_(batchPeriod),
          thread_([this] { run(); }) {}
    ~Drainer() {
        subscription_->close();
        finish();
    }
    Drainer(const Drainer&) = delete;
    Drainer& operator=(const Drainer&) = delete;

    /// Waits for the thread, which ends once the subscription has ended and is drained.
    void finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    std::int64_t events() const { return events_; }
    std::int64_t backwards() const { return backwards_; }
    std::int64_t last() const { return last_; }
    std::uint64_t dropped() const { return subscription_->dropped(); }

  private:
    void run() {
        const auto count = [this](const epson::TelemetryEvent& event) {
            const std::int64_t seq = sequenceOf(event.sample);
            backwards_ += seq <= last_ ? 1 : 0;
            last_ = seq;
            ++events_;
        };
        for (;;) {
            if (batchPeriod_ > std::chrono::milliseconds::zero()) {
                std::this_thread::sleep_for(batchPeriod_);
                const bool ended = subscription_->closed();
                while (auto event = subscription_->pop(std::chrono::milliseconds::zero())) {
                    count(*event);
                }
                if (ended) {
                    return;
                }
            } else if (auto event = subscription_->pop(std::chrono::milliseconds(100))) {
                count(*event);
            } else if (subscription_->closed()) {
                // Entries queued before the end, after a pop that timed out.
                while (auto rest = subscription_->pop(std::chrono::milliseconds::zero())) {
                    count(*rest);
                }
                return;
            }
        }
    }

    std::shared_ptr<epson::TelemetrySubscription> subscription_;
    std::chrono::milliseconds batchPeriod_;
    std::int64_t events_ = 0;
    std::int64_t backwards_ = 0;
    std::int64_t last_ = 0;
    std::thread thread_;
};

/// A connected stream: the peer's socket, and the reader's side set up.
struct Stream {
    Listener listener;
    FdGuard peer;
    FdGuard raw;
    epson::EthernetReceiveInterface receiver;

    explicit Stream(ReaderKind kind) {
        if (kind == ReaderKind::Raw) {
            raw.fd = connectLoopback(listener.port());
            peer.fd = listener.accept(2000);
        } else {
            // connect() returns once the first complete sample is in, so the peer sends one as
            // soon as it has accepted.
            std::thread acceptor([this] {
                peer.fd = listener.accept(2000);
                if (peer.fd >= 0) {
                    const std::string first = samplePacket(0);
                    sendAll(peer.fd, first.data(), first.size());
                }
            });
            try {
                receiver.connect("127.0.0.1", listener.port());
            } catch (...) {
                acceptor.join();
                throw;
            }
            acceptor.join();
        }
        if (peer.fd < 0) {
            throw std::runtime_error("the stream's peer did not connect");
        }
    }
};

/// A reader thread that is told to stop and joined on every exit of its scope, so that a failing
/// writer cannot leave it running.
class ReaderThread {
  public:
    template <typename Body>
    ReaderThread(std::atomic<bool>& stop, Body body) : stop_(stop), thread_(std::move(body)) {}
    ~ReaderThread() {
        stop_ = true;
        finish();
    }
    ReaderThread(const ReaderThread&) = delete;
    ReaderThread& operator=(const ReaderThread&) = delete;

    /// Waits for a reader that ends by itself.
    void finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    std::atomic<bool>& stop_;
    std::thread thread_;
};

/// Calls @p onLine(line, now) for every packet line the raw socket delivers until it returns
/// true, the peer closes, @p stop is set or @p deadline passes. Only the line ends are looked
/// for; the reads block in recv, as the receiver's do, waking every 100 ms to check the clock.
template <typename OnLine>
void readRawLines(int fd, std::int64_t deadline, const std::atomic<bool>& stop, OnLine onLine) {
    timeval timeout{0, 100'000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::vector<char> buffer(1 << 16);
    std::size_t held = 0;
    for (;;) {
        if (nowNs() > deadline || stop) {
            return;
        }
        const ssize_t got = ::recv(fd, buffer.data() + held, buffer.size() - held, 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            continue;
        }
        if (got <= 0) {
            return;
        }
        const std::int64_t now = nowNs();
        held += static_cast<std::size_t>(got);
        std::size_t start = 0;
        for (;;) {
            const void* end = std::memchr(buffer.data() + start, '\r', held - start);
            if (end == nullptr) {
                break;
            }
            if (onLine(buffer.data() + start, now)) {
                return;
            }
            start = static_cast<std::size_t>(static_cast<const char*>(end) - buffer.data()) + 1;
        }
        std::memmove(buffer.data(), buffer.data() + start, held - start);
        held -= start;
    }
}

void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    for (int i = 0; i < 32; ++i) {
        __builtin_ia32_pause();
    }
#endif
}

py::dict freshness(const std::string& reader_name, double rate_hz, int count) {
    const ReaderKind kind = readerKind(reader_name);
    if (count < 1 || !(rate_hz > 0.0)) {
        throw std::invalid_argument("count and rate_hz must be positive");
    }
    std::vector<std::int64_t> written(static_cast<std::size_t>(count) + 1, 0);
    std::vector<std::atomic<std::int64_t>> seen(static_cast<std::size_t>(count) + 1);
    int inconsistent = 0;
    std::int64_t subscribed = -1;
    {
        py::gil_scoped_release release;
        Stream stream(kind);
        std::optional<Drainer> drainer;
        if (kind == ReaderKind::Subscribed) {
            drainer.emplace(stream.receiver.subscribe());
        } else if (kind == ReaderKind::Batched) {
            drainer.emplace(stream.receiver.subscribe(), std::chrono::milliseconds(10));
        }
        const auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / rate_hz));
        const std::int64_t deadline =
            nowNs() + static_cast<std::int64_t>(static_cast<double>(count) * 1e9 / rate_hz) +
            2'000'000'000;
        std::atomic<bool> ready{false};
        std::atomic<bool> stop{false};

        ReaderThread reader(stop, [&] {
            ready = true;
            if (kind == ReaderKind::Raw) {
                readRawLines(stream.raw.fd, deadline, stop, [&](const char* line, std::int64_t t) {
                    const std::int64_t seq = sequenceOfLine(line);
                    if (seq >= 1 && seq <= count) {
                        seen[static_cast<std::size_t>(seq)].store(t, std::memory_order_relaxed);
                    }
                    return seq == count;
                });
                return;
            }
            std::int64_t last = 0;
            while (last != count && nowNs() < deadline && !stop) {
                const std::int64_t seq = sequenceOf(stream.receiver.getSample());
                if (seq < 0) {
                    ++inconsistent;
                } else if (seq != last) {
                    if (seq >= 1 && seq <= count) {
                        seen[static_cast<std::size_t>(seq)].store(nowNs(),
                                                                  std::memory_order_relaxed);
                    }
                    last = seq;
                    continue;
                }
                cpuRelax();
            }
        });
        while (!ready) {
            std::this_thread::yield();
        }
        // Paced on absolute times, so a late wake-up does not shift the packets after it.
        const auto start = Clock::now() + std::chrono::milliseconds(5);
        for (int seq = 1; seq <= count; ++seq) {
            const std::string packet = samplePacket(seq);
            std::this_thread::sleep_until(start + period * seq);
            written[static_cast<std::size_t>(seq)] = nowNs();
            sendAll(stream.peer.fd, packet.data(), packet.size());
        }
        reader.finish();
        stream.receiver.disconnect();
        if (drainer) {
            drainer->finish();
            subscribed = drainer->events();
        }
    }
    std::vector<std::int64_t> latencies;
    int missed = 0;
    for (int seq = 1; seq <= count; ++seq) {
        const std::int64_t t = seen[static_cast<std::size_t>(seq)].load();
        if (t == 0) {
            ++missed;
        } else {
            latencies.push_back(t - written[static_cast<std::size_t>(seq)]);
        }
    }
    py::dict result;
    result["latencies_ns"] = latencies;
    result["missed"] = missed;
    result["inconsistent"] = inconsistent;
    result["subscriber_events"] = subscribed;
    return result;
}

constexpr std::size_t kBurstCapacity = std::size_t{1} << 16;

std::int64_t threadCpuNs(const std::string& name);

py::dict maxRate(const std::string& reader_name, int count, const std::string& record_path) {
    const ReaderKind kind = readerKind(reader_name);
    if (count < 1) {
        throw std::invalid_argument("count must be positive");
    }
    // Formatted beforehand, so that the peer writes at the speed of the socket.
    std::string all;
    for (int seq = 1; seq <= count; ++seq) {
        all += samplePacket(seq);
    }
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::int64_t lastSeen = 0;
    std::int64_t checks = 0;
    std::int64_t inconsistent = 0;
    std::int64_t backwards = 0;
    bool stayedConnected = true;
    py::dict result;
    {
        py::gil_scoped_release release;
        Stream stream(kind);
        std::optional<Drainer> drainer;
        if (kind == ReaderKind::Subscribed) {
            // Sized for the burst: the whole stream arrives within about a second, so a
            // drainer that the scheduler leaves off the CPU for some milliseconds must not
            // overflow the queue.
            drainer.emplace(stream.receiver.subscribe(kBurstCapacity));
            stream.receiver.startRecording(record_path);
        }
        const std::int64_t deadline = nowNs() + 30'000'000'000;
        std::atomic<bool> stop{false};
        ReaderThread reader(stop, [&] {
            if (kind == ReaderKind::Raw) {
                // Counts lines; only the last one is decoded, to check it is the last packet.
                std::int64_t lines = 0;
                readRawLines(stream.raw.fd, deadline, stop, [&](const char* line, std::int64_t t) {
                    if (++lines < count) {
                        return false;
                    }
                    lastSeen = sequenceOfLine(line);
                    end = t;
                    return true;
                });
                return;
            }
            // Polls sparingly: on two cores a busy reader would slow the receiver it watches.
            while (lastSeen != count && nowNs() < deadline && !stop) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                const std::int64_t seq = sequenceOf(stream.receiver.getSample());
                const std::int64_t t = nowNs();
                ++checks;
                stayedConnected = stayedConnected && stream.receiver.isConnected();
                if (seq < 0) {
                    ++inconsistent;
                    continue;
                }
                if (seq < lastSeen) {
                    ++backwards;
                }
                lastSeen = seq;
                end = t;
            }
        });
        start = nowNs();
        sendAll(stream.peer.fd, all.data(), all.size());
        reader.finish();
        stream.receiver.disconnect();
        if (drainer) {
            drainer->finish();
            const std::int64_t writerNs = threadCpuNs("epson-recorder");
            const epson::RecordingSummary summary = stream.receiver.stopRecording();
            py::gil_scoped_acquire acquire;
            result["subscriber_events"] = drainer->events();
            result["subscriber_last"] = drainer->last();
            result["subscriber_backwards"] = drainer->backwards();
            result["subscriber_dropped"] = drainer->dropped();
            result["recorded_rows"] = summary.rows;
            result["recording_lost"] = summary.lost;
            result["writer_cpu_seconds"] = static_cast<double>(writerNs) / 1e9;
        }
    }
    result["packets"] = count;
    result["bytes"] = all.size();
    result["seconds"] = static_cast<double>(end - start) / 1e9;
    result["last_seen"] = lastSeen;
    result["checks"] = checks;
    result["inconsistent"] = inconsistent;
    result["backwards"] = backwards;
    result["stayed_connected"] = stayedConnected;
    return result;
}

/// A peer that a receiver in Python connects to: it greets with sample 0 and then, on start(),
/// writes samples 1..count at a fixed rate from a thread of its own, noting when it wrote each.
class PacedPeer {
  public:
    PacedPeer()
        : acceptor_([this] {
              peer_.fd = listener_.accept(5000);
              if (peer_.fd >= 0) {
                  const std::string first = samplePacket(0);
                  sendAll(peer_.fd, first.data(), first.size());
              }
          }) {}
    ~PacedPeer() {
        if (acceptor_.joinable()) {
            acceptor_.join();
        }
        if (writer_.joinable()) {
            writer_.join();
        }
    }
    PacedPeer(const PacedPeer&) = delete;
    PacedPeer& operator=(const PacedPeer&) = delete;

    std::uint16_t port() const { return listener_.port(); }

    /// Writes the next @p count samples at once, as fast as the socket takes them.
    void burst(int count) {
        if (count < 1 || writer_.joinable()) {
            throw std::invalid_argument("burst before start, with a positive count");
        }
        connected_();
        std::string packets;
        for (int i = 0; i < count; ++i) {
            packets += samplePacket(nextSeq_++);
        }
        sendAll(peer_.fd, packets.data(), packets.size());
    }

    void start(double rate_hz, int count) {
        if (count < 1 || !(rate_hz > 0.0) || writer_.joinable()) {
            throw std::invalid_argument("start once, with a positive count and rate");
        }
        connected_();
        const int first = nextSeq_;
        nextSeq_ += count;
        written_.assign(static_cast<std::size_t>(nextSeq_), 0);
        writer_ = std::thread([this, rate_hz, first, count] {
            const auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / rate_hz));
            const auto begin = Clock::now() + std::chrono::milliseconds(5);
            for (int i = 1; i <= count; ++i) {
                const int seq = first + i - 1;
                const std::string packet = samplePacket(seq);
                std::this_thread::sleep_until(begin + period * i);
                written_[static_cast<std::size_t>(seq)] = nowNs();
                sendAll(peer_.fd, packet.data(), packet.size());
            }
        });
    }

    /// Waits for the writer; the steady-clock nanoseconds of each write, by sequence number.
    std::vector<std::int64_t> finish() {
        if (writer_.joinable()) {
            writer_.join();
        }
        return written_;
    }

  private:
    void connected_() {
        if (acceptor_.joinable()) {
            acceptor_.join();
        }
        if (peer_.fd < 0) {
            throw std::runtime_error("the receiver did not connect");
        }
    }

    Listener listener_;
    FdGuard peer_;
    int nextSeq_ = 1;
    std::vector<std::int64_t> written_;
    std::thread acceptor_;
    std::thread writer_;
};

/// CPU nanoseconds of this process's thread named @p name, or -1 when there is none.
std::int64_t threadCpuNs(const std::string& name) {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) {
        return -1;
    }
    std::int64_t result = -1;
    while (const dirent* entry = ::readdir(tasks)) {
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::string comm;
        std::getline(std::ifstream(task + "/comm"), comm);
        if (comm == name) {
            std::ifstream(task + "/schedstat") >> result;
            break;
        }
    }
    ::closedir(tasks);
    return result;
}

double cpuSecondsOfProcess();

/// The process's CPU use while a peer writes at @p rate_hz for @p seconds to a receiver,
/// recording to @p path when it is not empty, in percent of one core; with the recording, the
/// writer thread's own share and the rows written too.
py::dict recordingCost(double rate_hz, double seconds, const std::string& path) {
    if (!(rate_hz > 0.0) || !(seconds > 0.0)) {
        throw std::invalid_argument("rate_hz and seconds must be positive");
    }
    double cpu = 0.0;
    double wall = 0.0;
    std::int64_t writerNs = 0;
    epson::RecordingSummary summary;
    {
        py::gil_scoped_release release;
        Stream stream(ReaderKind::Receiver);
        if (!path.empty()) {
            stream.receiver.startRecording(path);
        }
        const auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / rate_hz));
        const int count = static_cast<int>(seconds * rate_hz);
        const int settle = static_cast<int>(0.2 * rate_hz);  // before the window opens
        const auto begin = Clock::now() + std::chrono::milliseconds(5);
        double cpu0 = 0.0;
        std::int64_t writer0 = 0;
        Clock::time_point wall0;
        for (int seq = 1; seq <= settle + count; ++seq) {
            if (seq == settle + 1) {
                cpu0 = cpuSecondsOfProcess();
                writer0 = threadCpuNs("epson-recorder");
                wall0 = Clock::now();
            }
            const std::string packet = samplePacket(seq);
            std::this_thread::sleep_until(begin + period * seq);
            sendAll(stream.peer.fd, packet.data(), packet.size());
        }
        std::this_thread::sleep_until(begin + period * (settle + count + 1));
        cpu = cpuSecondsOfProcess() - cpu0;
        writerNs = threadCpuNs("epson-recorder") - writer0;
        wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        stream.receiver.disconnect();
        if (!path.empty()) {
            summary = stream.receiver.stopRecording();
        }
    }
    py::dict result;
    result["cpu_percent"] = 100.0 * cpu / wall;
    result["writer_percent"] =
        path.empty() ? 0.0 : 100.0 * static_cast<double>(writerNs) / 1e9 / wall;
    result["rows"] = summary.rows;
    result["lost"] = summary.lost;
    return result;
}

double cpuSecondsOfProcess() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

/// The floor of an idle station: one thread per telemetry port, each blocked in recv and
/// counting line ends, nothing else. Returns the process's CPU use over @p seconds (after a
/// second to settle) in percent of one core, and the packets received in that window.
py::dict rawReaders(const std::vector<std::uint16_t>& ports, double seconds) {
    std::atomic<bool> stop{false};
    std::atomic<bool> counting{false};
    std::atomic<std::int64_t> packets{0};
    double cpu = 0.0;
    double wall = 0.0;
    {
        py::gil_scoped_release release;
        std::vector<FdGuard> sockets(ports.size());
        for (std::size_t i = 0; i < ports.size(); ++i) {
            sockets[i].fd = connectLoopback(ports[i]);
            // Wakes the reader now and then to see the stop flag.
            timeval timeout{0, 100'000};
            ::setsockopt(sockets[i].fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        }
        std::vector<std::thread> readers;
        for (auto& socket : sockets) {
            readers.emplace_back([&, fd = socket.fd] {
                char buffer[4096];
                while (!stop.load(std::memory_order_relaxed)) {
                    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                    std::int64_t lines = 0;
                    for (ssize_t k = 0; k < got; ++k) {
                        lines += buffer[k] == '\r';
                    }
                    if (counting.load(std::memory_order_relaxed)) {
                        packets.fetch_add(lines, std::memory_order_relaxed);
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        counting = true;
        const double cpu0 = cpuSecondsOfProcess();
        const auto wall0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        cpu = cpuSecondsOfProcess() - cpu0;
        wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        counting = false;
        stop = true;
        for (auto& reader : readers) {
            reader.join();
        }
    }
    py::dict result;
    result["cpu_percent"] = 100.0 * cpu / wall;
    result["packets"] = packets.load();
    result["seconds"] = wall;
    return result;
}

/// What waking alone costs: @p count threads that sleep 1 / @p rate_hz at a time and do nothing
/// else. Returns the process's CPU use over @p seconds in percent of one core.
double sleepers(int count, double rate_hz, double seconds) {
    std::atomic<bool> stop{false};
    double cpu = 0.0;
    double wall = 0.0;
    {
        py::gil_scoped_release release;
        const auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / rate_hz));
        std::vector<std::thread> threads;
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([&] {
                while (!stop.load(std::memory_order_relaxed)) {
                    std::this_thread::sleep_for(period);
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double cpu0 = cpuSecondsOfProcess();
        const auto wall0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        cpu = cpuSecondsOfProcess() - cpu0;
        wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        stop = true;
        for (auto& thread : threads) {
            thread.join();
        }
    }
    return 100.0 * cpu / wall;
}

}  // namespace

PYBIND11_MODULE(_bench_native, m) {
    m.doc() = "Native halves of the connector benchmarks (floors and telemetry peers).";

    py::class_<RawClient>(m, "RawClient")
        .def(py::init<std::uint16_t, const std::string&>(), py::arg("port"),
             py::arg("login") = "$Login,")
        .def("round_trips", &RawClient::roundTrips, py::arg("count"), py::arg("command"),
             py::arg("expect"), py::call_guard<py::gil_scoped_release>(),
             "Times count blocking send/recv exchanges; returns nanoseconds each.")
        .def("close", &RawClient::close);

    py::class_<NativeLink>(m, "NativeLink")
        .def(py::init<std::uint16_t, const std::string&>(), py::arg("port"),
             py::arg("password") = "", py::call_guard<py::gil_scoped_release>())
        .def("round_trips", &NativeLink::roundTrips, py::arg("count"),
             py::call_guard<py::gil_scoped_release>(),
             "Times count getPowerMode() calls from C++; returns nanoseconds each.")
        .def("disconnect", &NativeLink::disconnect, py::call_guard<py::gil_scoped_release>());

    m.def("freshness", &freshness, py::arg("reader"), py::arg("rate_hz"), py::arg("count"),
          "Writes count packets at rate_hz; returns, per packet, the nanoseconds from the peer's "
          "write to the reader seeing it.");
    m.def("max_rate", &maxRate, py::arg("reader"), py::arg("count"), py::arg("record_path") = "",
          "Writes count packets as fast as the socket takes them and times the reader; the "
          "subscribed reader also drains a subscription and records to record_path.");
    m.def("recording_cost", &recordingCost, py::arg("rate_hz"), py::arg("seconds"), py::arg("path"),
          "The process's CPU use at rate_hz for seconds, recording to path unless it is empty.");
    py::class_<PacedPeer>(m, "PacedPeer")
        .def(py::init<>())
        .def_property_readonly("port", &PacedPeer::port)
        .def("burst", &PacedPeer::burst, py::arg("count"), py::call_guard<py::gil_scoped_release>(),
             "Writes the next count samples at once, before start().")
        .def("start", &PacedPeer::start, py::arg("rate_hz"), py::arg("count"),
             py::call_guard<py::gil_scoped_release>(),
             "Writes samples 1..count at rate_hz from a thread of its own.")
        .def("finish", &PacedPeer::finish, py::call_guard<py::gil_scoped_release>(),
             "Waits for the writes; the steady-clock nanoseconds of each, by sequence number.");
    m.def("raw_readers", &rawReaders, py::arg("ports"), py::arg("seconds"),
          "One blocking recv thread per port for seconds; the process's CPU use meanwhile.");
    m.def("sleepers", &sleepers, py::arg("count"), py::arg("rate_hz"), py::arg("seconds"),
          "count threads that only sleep and wake at rate_hz; the process's CPU use meanwhile.");
    m.def("sample_packet", &samplePacket, py::arg("seq"), "The packet the peers write.");
}
