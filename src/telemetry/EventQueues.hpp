#pragma once

// The queues behind subscriptions and recordings. The receiver thread only ever appends, under
// a lock that each consumer holds just long enough to take entries out, so a slow consumer
// costs the receiver nothing but the entries it drops.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "epson/TelemetrySubscription.hpp"

namespace epson {

/// The receive instant of one published result, on both clocks.
struct ReceiveTime {
    double monotonicSeconds = 0.0;
    double wallSeconds = 0.0;
};

/// A queue of events that grows on demand up to its capacity and then drops its oldest entry
/// to make room. It is a chain of fixed-size chunks: growing adds one chunk and never moves an
/// entry, so a large queue costs the thread that appends (the receiver, under its locks) no
/// more than a small one. One emptied chunk is kept for reuse, so a queue at a steady size
/// appends samples without allocating. Not synchronised.
class EventRing {
  public:
    /// Entries per chunk: small enough that allocating one under a lock is cheap.
    static constexpr std::size_t kChunkSize = 256;

    explicit EventRing(std::size_t capacity) : capacity_(capacity) {}

    /// Appends; returns whether the oldest entry had to go, and its kind in @p droppedKind.
    bool push(TelemetryEvent::Kind kind, const TelemetrySample& sample,
              const ControllerStatus& status, ReceiveTime time,
              TelemetryEvent::Kind* droppedKind = nullptr);
    /// Moves the oldest entry out. Expects !empty().
    TelemetryEvent pop();

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }

  private:
    struct Chunk {
        std::array<TelemetryEvent, kChunkSize> slots;
    };
    /// Drops the oldest entry, returning its kind.
    TelemetryEvent::Kind dropOldest_();
    /// Retires the front chunk once every entry in it has been taken.
    void releaseFrontIfSpent_();

    std::deque<std::unique_ptr<Chunk>> chunks_;
    std::unique_ptr<Chunk> spare_;
    std::size_t head_ = 0;  ///< Index of the oldest entry in chunks_.front().
    std::size_t tail_ = 0;  ///< Index of the next free slot in chunks_.back().
    std::size_t size_ = 0;
    std::size_t capacity_;
};

class TelemetrySubscription::Impl {
  public:
    explicit Impl(std::size_t capacity) : ring_(capacity) {}

    /// Queues one event and wakes a waiting pop(). False once the subscription has ended, so
    /// that the receiver can forget it.
    bool publish(TelemetryEvent::Kind kind, const TelemetrySample& sample,
                 const ControllerStatus& status, ReceiveTime time);
    std::optional<TelemetryEvent> pop(std::chrono::nanoseconds timeout);
    void close();
    bool closed() const;
    std::uint64_t dropped() const;
    std::uint64_t droppedSamples() const;
    std::size_t capacity() const { return ring_.capacity(); }

  private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    EventRing ring_;
    bool closed_ = false;
    std::uint64_t dropped_ = 0;
    std::uint64_t droppedSamples_ = 0;
    int waiters_ = 0;
};

/// How long the recording writer gathers rows before it writes them: one write per period
/// keeps a 1 kHz recording cheap, and bounds what a crash can take with it.
inline constexpr std::chrono::milliseconds kRecordingFlushInterval{10};
/// Rows the recording holds in memory while the writer catches up.
inline constexpr std::size_t kRecordingQueueCapacity = std::size_t{1} << 16;

/// How long a stop lets a file that takes no data drain before the rest counts as lost.
inline constexpr std::chrono::milliseconds kStopGrace{1000};
/// How long the header may wait for a file that takes no data.
inline constexpr std::chrono::milliseconds kHeaderDeadline{1000};
/// How often a writer waiting on such a file looks for a stop.
inline constexpr std::chrono::milliseconds kStalledWritePoll{20};

class IsoTime;

/// One CSV recording: the file, its bounded queue and its writer thread.
class Recorder {
  public:
    /// Opens (truncating) @p path, writes the header row and starts the writer.
    /// @throw std::runtime_error naming the path when it cannot be opened or written.
    explicit Recorder(std::string path);
    /// Runs finish() and ignores its failure.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    const std::string& path() const { return path_; }
    /// The status that rows repeat until the recording sees one of its own. Call before the
    /// first publish().
    void seedStatus(const ControllerStatus& status);
    /// Queues one row; never waits for the disk.
    void publish(TelemetryEvent::Kind kind, const TelemetrySample& sample,
                 const ControllerStatus& status, ReceiveTime time);
    /// Writes what is queued, stops the writer and closes the file. Only the first call reports.
    /// @throw std::runtime_error naming the path when a write or the close failed.
    RecordingSummary finish();

  private:
    using Clock = std::chrono::steady_clock;

    /// Tells the writer to write what is queued and end; idempotent.
    void requestStop_();
    void run_();
    /// Appends one CSV row for @p event to @p out, updating latestStatus_ for a status.
    void formatRow_(const TelemetryEvent& event, std::string& out);
    /// Writes all of @p text; returns the bytes written, fewer (with writeError_ set) when a
    /// write fails, or when the file takes nothing until @p deadline (none: until a stop's
    /// grace period ends).
    std::size_t writeAll_(const std::string& text, std::optional<Clock::time_point> deadline);

    std::string path_;
    int fd_ = -1;

    std::mutex mutex_;
    std::condition_variable wake_;
    EventRing ring_{kRecordingQueueCapacity};
    std::optional<ControllerStatus> seed_;
    bool stop_ = false;
    /// Far in the future until a stop is requested.
    std::atomic<Clock::time_point> stopDeadline_{Clock::time_point::max()};
    std::uint64_t lost_ = 0;

    // The writer's own state; finish() reads it after the join.
    std::unique_ptr<IsoTime> isoTime_;
    std::thread writer_;
    ControllerStatus latestStatus_;
    std::uint64_t rows_ = 0;
    std::uint64_t unwritten_ = 0;
    std::string writeError_;
    bool finished_ = false;
};

/// The CSV header row, with its line end.
extern const char* const kRecordingHeader;

}  // namespace epson
