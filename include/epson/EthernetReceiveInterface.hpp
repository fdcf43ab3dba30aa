#pragma once

#include <memory>
#include <string>

#include "epson/types.hpp"

namespace epson {

/// Telemetry connection to an Epson controller, on which a controller Background Task pushes
/// carriage-return-terminated lines of "key=value" fields separated by ";".
///
/// While connected, one background thread reads the lines and keeps the latest complete
/// six-axis sample (J1agl..J6agl and X, Y, Z, U, V, W) and the latest controller status. After
/// a broken connection it reconnects about once a second until disconnect(), to the addresses
/// that connect() looked up (it never waits on a name lookup of its own). The getters may be
/// called from any thread; they copy under a lock and never touch the socket.
///
/// connect() and disconnect() must not run at the same time on one receiver.
class EthernetReceiveInterface {
  public:
    /// Telemetry port used when the caller has no other.
    static constexpr unsigned short kDefaultPort = 2000;

    /// Creates a disconnected receiver. No I/O.
    EthernetReceiveInterface();
    /// Runs disconnect().
    ~EthernetReceiveInterface();
    EthernetReceiveInterface(const EthernetReceiveInterface&) = delete;
    EthernetReceiveInterface& operator=(const EthernetReceiveInterface&) = delete;

    /// Drops any earlier connection and its data, connects (each attempt bounded to 2 s per
    /// resolved endpoint), starts the receiver thread and returns once the first complete
    /// sample has arrived.
    /// @throw std::runtime_error when @p host cannot be resolved, no endpoint accepts, or no
    ///        complete sample arrives within 2 seconds (the receiver is then disconnected).
    void connect(const std::string& host, unsigned short port);

    /// Stops the receiver thread and closes the socket; returns within a few seconds even
    /// during a reconnection. Idempotent. The last sample and status stay readable.
    void disconnect();

    /// Whether the telemetry socket is connected. Takes no lock.
    bool isConnected() const;

    /// Whether a sample has been received since the last connect().
    bool hasSample() const;
    /// The latest complete sample, in native units.
    /// @throw std::runtime_error when no sample has been received since the last connect().
    TelemetrySample getSample() const;
    /// Seconds since the latest sample arrived; positive infinity when there is none.
    double sampleAgeSeconds() const;

    /// Whether a controller-status packet has been received since the last connect().
    bool hasControllerStatus() const;
    /// The latest controller status, with the eight keys documented on ControllerStatus.
    /// @throw std::runtime_error when no status has been received since the last connect().
    ControllerStatus getControllerStatus() const;
    /// Seconds since the latest status arrived; positive infinity when there is none.
    double controllerStatusAgeSeconds() const;

    /// Opaque; defined in the private sources.
    class Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace epson
