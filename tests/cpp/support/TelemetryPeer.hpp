#pragma once

// A stand-in for the controller's telemetry Background Task, for wire-level tests. It listens
// on 127.0.0.1 (port 0) and accepts on its own thread, so a client may block in its connect
// while the peer answers. Each accepted connection gets the greeting at once; afterwards the
// test writes packets on cue, closes the connection, or leaves it silent. It can also stop
// completing TCP handshakes, for clients that must cope with a peer that never answers.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace epson::test {

/// A packet with X, Y, Z, U, V, W from @p pose, then J1agl..J6agl from @p joints, written so
/// that every value parses back exactly. No line end.
std::string telemetrySamplePacket(const std::array<double, 6>& joints,
                                  const std::array<double, 6>& pose);
/// A packet with STAT, SYSERR, CTRLDEV, ROBOTINFO and CTRLINFO. No line end.
std::string telemetryStatusPacket(std::int64_t stat, std::int64_t systemError,
                                  std::int64_t controlDevice, std::int64_t robotInfo,
                                  std::int64_t ctrlInfo);

/// Calls @p predicate every few milliseconds until it holds or @p timeout passes; returns its
/// last result.
bool pollUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

class TelemetryPeer {
  public:
    /// Listens on an ephemeral loopback port and starts accepting.
    TelemetryPeer();
    /// Closes every connection and the listener and joins the peer's thread.
    ~TelemetryPeer();
    TelemetryPeer(const TelemetryPeer&) = delete;
    TelemetryPeer& operator=(const TelemetryPeer&) = delete;

    std::uint16_t port() const { return port_; }

    /// Packets written, each followed by CR LF, to every connection as soon as it is accepted.
    /// Empty (the default): new connections hear nothing until the test sends.
    void setGreeting(std::vector<std::string> packets);

    /// Writes @p packet and CR LF to the current connection. False when there is none or the
    /// write fails.
    bool sendPacket(std::string_view packet);
    /// Writes @p bytes unchanged to the current connection. False as sendPacket().
    bool sendRaw(std::string_view bytes);
    /// Closes the current connection from the peer's side; later connections are accepted as
    /// usual. A newly accepted connection also replaces (closes) the current one.
    void closeClient();

    /// Connections accepted so far.
    int acceptCount() const;
    /// Connections that the client closed (end of stream or reset seen by the peer).
    int remoteCloseCount() const;
    bool hasClient() const;
    bool waitForAccepts(int count, std::chrono::milliseconds timeout);
    bool waitForRemoteCloses(int count, std::chrono::milliseconds timeout);

    /// Stops completing handshakes: the peer stops accepting and fills its accept queue with
    /// connections of its own, so the kernel drops a new client's SYN and that client's
    /// connect hangs. The current connection is not affected.
    void stallHandshakes();
    /// Ends stallHandshakes(): drops the filler connections and accepts again.
    void resumeHandshakes();
    /// Whether some socket of this host waits in SYN-SENT for this peer's port, that is, a
    /// client is inside a connect that the stalled peer does not answer.
    bool handshakePending() const;

  private:
    void run();
    /// Accepts what is queued. Expects mutex_ held.
    void acceptQueued();
    /// Expects mutex_ held.
    bool writeAll(std::string_view bytes);
    /// Expects mutex_ held.
    void dropClient();

    int listenFd_ = -1;
    std::uint16_t port_ = 0;

    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int clientFd_ = -1;
    std::vector<std::string> greeting_;
    int accepted_ = 0;
    int remoteCloses_ = 0;
    bool stalled_ = false;
    std::vector<int> fillerFds_;
    std::vector<std::uint16_t> fillerPorts_;
};

}  // namespace epson::test
