#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "epson/TelemetrySubscription.hpp"
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
/// Beside the latest values, subscribe() hands out a queue of every sample and status, and
/// startRecording() writes them all to a CSV file from a thread of its own. The receiver
/// thread never waits for either; with neither in use a sample costs what it always did.
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
    /// during a reconnection. Idempotent, and safe to call from several threads at once (a
    /// second caller waits for the first). The last sample and status stay readable.
    void disconnect();

    /// Whether the telemetry socket is connected. Takes no lock.
    bool isConnected() const;

    /// Whether a sample has been received since the last connect().
    bool hasSample() const;
    /// The latest complete sample, in native units.
    /// @throw std::runtime_error when no sample has been received since the last connect().
    TelemetrySample getSample() const;
    /// The latest complete sample with the instant it arrived (monotonicSeconds, wallSeconds),
    /// read together: an age computed by a second call would be off by the time between them.
    /// @throw std::runtime_error when no sample has been received since the last connect().
    TelemetryEvent getTimedSample() const;
    /// Seconds since the latest sample arrived; positive infinity when there is none.
    double sampleAgeSeconds() const;

    /// Whether a controller-status packet has been received since the last connect().
    bool hasControllerStatus() const;
    /// The latest controller status, with the eight keys documented on ControllerStatus.
    /// @throw std::runtime_error when no status has been received since the last connect().
    ControllerStatus getControllerStatus() const;
    /// Seconds since the latest status arrived; positive infinity when there is none.
    double controllerStatusAgeSeconds() const;

    /// Queue size of subscribe() when the caller has no other.
    static constexpr std::size_t kDefaultSubscriptionCapacity = 4096;
    /// Largest queue size that subscribe() accepts.
    static constexpr std::size_t kMaxSubscriptionCapacity = std::size_t{1} << 24;

    /// A queue of every sample and status published from now on, holding at most @p capacity
    /// of them (the oldest dropped and counted when full). Any number may be open at once. It
    /// ends when this receiver disconnects or its connection breaks; the stream of a later
    /// reconnection needs a new subscription.
    /// @throw std::invalid_argument when @p capacity is 0 or above kMaxSubscriptionCapacity.
    /// @throw std::runtime_error when the receiver is not connected (before connect(), after
    ///        disconnect(), or while a broken connection is being re-established).
    std::shared_ptr<TelemetrySubscription> subscribe(
        std::size_t capacity = kDefaultSubscriptionCapacity);

    /// Writes every sample and status published from now on to a new CSV file at @p path
    /// (replacing one that exists), from a writer thread of its own, until stopRecording().
    /// Columns: monotonic_s, wall_time, J1..J6, X, Y, Z, U, V, W, then the eight status fields.
    /// A status row leaves J1..W empty; every row repeats the latest status known (empty
    /// before there is one). Rows reach the file whole, within about 10 ms, so a crash leaves
    /// at most a partial last line. Rows the writer cannot keep up with are dropped and
    /// counted. The recording goes on across reconnections and disconnect(); the destructor
    /// ends it. The file is opened without blocking (a FIFO nobody reads is refused) and the
    /// writer never waits on it: rows a stalled file cannot take are counted as lost, and
    /// stopping gives a stalled file about a second before it gives up on the rest.
    /// @throw std::runtime_error when a recording is already running or starting, or when
    ///        @p path cannot be opened or written (the message names the path). A refused
    ///        start leaves the file untouched.
    void startRecording(const std::string& path);

    /// Ends the recording: writes what is queued, closes the file and reports what it holds.
    /// @throw std::runtime_error when no recording is running, or when writing or closing the
    ///        file failed (the message names the path and the rows written; the recording has
    ///        ended all the same).
    RecordingSummary stopRecording();

    /// Whether a recording is running.
    bool isRecording() const;

    /// Opaque; defined in the private sources.
    class Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace epson
