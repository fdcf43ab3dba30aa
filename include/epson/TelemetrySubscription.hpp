#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "epson/types.hpp"

namespace epson {

/// One published sample or status, with the time it was received.
struct TelemetryEvent {
    enum class Kind { Sample, Status };

    Kind kind = Kind::Sample;
    /// The complete sample; all zero for a status event.
    TelemetrySample sample{};
    /// The status map with its eight keys; empty for a sample event.
    ControllerStatus status;
    /// When the receiver published it, in seconds on the steady clock (CLOCK_MONOTONIC, the
    /// clock of Python's time.monotonic()).
    double monotonicSeconds = 0.0;
    /// The same instant in seconds since the Unix epoch (UTC).
    double wallSeconds = 0.0;
};

/// What a finished recording wrote.
struct RecordingSummary {
    std::string path;        ///< The file, as given to startRecording().
    std::uint64_t rows = 0;  ///< Data rows written, without the header.
    std::uint64_t lost = 0;  ///< Rows dropped because the writer fell behind, or not written
                             ///< after a write failed.
};

/// A bounded queue of every sample and status that a receiver publishes after subscribe(), in
/// arrival order. The receiver never waits for the consumer: when the queue is full the oldest
/// entry is dropped and counted. Any thread may pop; the handle is safe to share.
///
/// The subscription ends when close() is called, when the last handle to it goes, when its
/// receiver disconnects, or when the receiver's connection breaks (a reconnection does not
/// revive it: a stream with a gap would pass for a whole one). Entries queued before the end
/// can still be popped; after them pop() reports the end at once.
class TelemetrySubscription {
  public:
    /// Opaque; defined in the private sources. Subscriptions come from
    /// EthernetReceiveInterface::subscribe().
    class Impl;
    explicit TelemetrySubscription(std::shared_ptr<Impl> impl);
    /// Runs close().
    ~TelemetrySubscription();
    TelemetrySubscription(const TelemetrySubscription&) = delete;
    TelemetrySubscription& operator=(const TelemetrySubscription&) = delete;

    /// The oldest queued event, waiting at most @p timeout for one (zero: no wait). Empty when
    /// the time passes, or at once when the subscription has ended and nothing is queued.
    std::optional<TelemetryEvent> pop(std::chrono::milliseconds timeout);
    /// Events dropped so far because the queue was full.
    std::uint64_t dropped() const;
    /// Of dropped(), the samples (the rest were statuses).
    std::uint64_t droppedSamples() const;
    /// Ends the subscription and wakes every waiting pop(). Idempotent.
    void close();
    /// Whether the subscription has ended (close() or the receiver's disconnect).
    bool closed() const;
    /// The most events the queue holds.
    std::size_t capacity() const;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace epson
