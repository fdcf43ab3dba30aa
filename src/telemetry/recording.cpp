// Recording: every published sample and status as a CSV row, written by a thread of its own.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "EventQueues.hpp"
#include "ReceiverImpl.hpp"

namespace epson {

const char* const kRecordingHeader =
    "monotonic_s,wall_time,J1,J2,J3,J4,J5,J6,X,Y,Z,U,V,W,stat,system_error,emergency_stopped,"
    "safeguard_open,teach_mode,control_device,robot_info,ctrl_info,kind\n";

namespace {

/// The status columns, in header order.
constexpr std::array<const char*, 8> kStatusColumns{
    "stat",       "system_error",   "emergency_stopped", "safeguard_open",
    "teach_mode", "control_device", "robot_info",        "ctrl_info"};

std::string quoted(const std::string& path) {
    return "\"" + path + "\"";
}

/// The shortest text that reads back as the same double.
void appendReal(std::string& out, double value) {
    std::array<char, 32> text{};
    const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value);
    out.append(text.data(), error == std::errc() ? end : text.data());
}

void appendInteger(std::string& out, std::int64_t value) {
    std::array<char, 24> text{};
    const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value);
    out.append(text.data(), error == std::errc() ? end : text.data());
}

/// Appends @p value with at least @p digits digits, zero-padded.
void appendPadded(std::string& out, std::int64_t value, int digits) {
    std::array<char, 24> text{};
    const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value);
    const auto length = error == std::errc() ? end - text.data() : 0;
    out.append(static_cast<std::size_t>(std::max<std::ptrdiff_t>(digits - length, 0)), '0');
    out.append(text.data(), static_cast<std::size_t>(length));
}

}  // namespace

/// "2026-12-08T10:56:35.123456Z". The text up to the seconds is kept from the row before: at
/// any useful rate most rows share it, and gmtime is the dearest part of a row.
class IsoTime {
  public:
    void append(std::string& out, double secondsSinceEpoch) {
        const auto micros = static_cast<std::int64_t>(std::llround(secondsSinceEpoch * 1e6));
        std::int64_t seconds = micros / 1'000'000;
        std::int64_t fraction = micros % 1'000'000;
        if (fraction < 0) {
            fraction += 1'000'000;
            --seconds;
        }
        if (seconds != cachedSecond_ || cached_.empty()) {
            const auto whole = static_cast<std::time_t>(seconds);
            std::tm utc{};
            ::gmtime_r(&whole, &utc);
            cached_.clear();
            appendPadded(cached_, utc.tm_year + 1900, 4);
            cached_.push_back('-');
            appendPadded(cached_, utc.tm_mon + 1, 2);
            cached_.push_back('-');
            appendPadded(cached_, utc.tm_mday, 2);
            cached_.push_back('T');
            appendPadded(cached_, utc.tm_hour, 2);
            cached_.push_back(':');
            appendPadded(cached_, utc.tm_min, 2);
            cached_.push_back(':');
            appendPadded(cached_, utc.tm_sec, 2);
            cached_.push_back('.');
            cachedSecond_ = seconds;
        }
        out += cached_;
        appendPadded(out, fraction, 6);
        out.push_back('Z');
    }

  private:
    std::string cached_;
    std::int64_t cachedSecond_ = 0;
};

Recorder::Recorder(std::string path)
    : path_(std::move(path)), isoTime_(std::make_unique<IsoTime>()) {
    // Non-blocking: opening a FIFO nobody reads fails instead of waiting for a reader, and a
    // write that cannot proceed returns, so the writer (and a stop) never hangs on the file.
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd_ < 0) {
        throw std::runtime_error("Cannot open the telemetry recording file " + quoted(path_) +
                                 ": " + std::strerror(errno));
    }
    if (writeAll_(kRecordingHeader, Clock::now() + kHeaderDeadline) !=
        std::strlen(kRecordingHeader)) {
        ::close(fd_);
        throw std::runtime_error("Cannot write the telemetry recording file " + quoted(path_) +
                                 ": " + writeError_);
    }
    try {
        writer_ = std::thread([this] { run_(); });
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

Recorder::~Recorder() {
    try {
        finish();
    } catch (const std::exception&) {
        // A destructor has nobody to tell; stopRecording() is where a failure is reported.
    }
}

void Recorder::seedStatus(const ControllerStatus& status) {
    std::lock_guard lock(mutex_);
    seed_ = status;
}

void Recorder::requestStop_() {
    {
        std::lock_guard lock(mutex_);
        if (stop_) {
            return;
        }
        stop_ = true;
    }
    stopDeadline_.store(Clock::now() + kStopGrace);
    wake_.notify_one();
}

void Recorder::publish(TelemetryEvent::Kind kind, const TelemetrySample& sample,
                       const ControllerStatus& status, ReceiveTime time) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (ring_.push(kind, sample, status, time)) {
            ++lost_;
        }
        // The writer sleeps until rows come, then gathers for a flush interval; half a queue
        // is worth an early flush.
        wake = ring_.size() == 1 || ring_.size() == ring_.capacity() / 2;
    }
    if (wake) {
        wake_.notify_one();
    }
}

void Recorder::run_() {
    ::pthread_setname_np(::pthread_self(), "epson-recorder");
    std::vector<TelemetryEvent> batch;
    std::string text;
    for (;;) {
        bool stopping = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !ring_.empty(); });
            if (!stop_) {
                wake_.wait_for(lock, kRecordingFlushInterval,
                               [this] { return stop_ || ring_.size() >= ring_.capacity() / 2; });
            }
            if (seed_) {
                latestStatus_ = std::move(*seed_);
                seed_.reset();
            }
            while (!ring_.empty()) {
                batch.push_back(ring_.pop());
            }
            stopping = stop_;
        }
        if (!batch.empty()) {
            if (writeError_.empty()) {
                text.clear();
                for (const TelemetryEvent& event : batch) {
                    formatRow_(event, text);
                }
                // Rows count once their line end is in the file; a failed write may have left
                // part of the batch there.
                const std::size_t written = writeAll_(text, std::nullopt);
                const auto complete = static_cast<std::uint64_t>(std::count(
                    text.begin(), text.begin() + static_cast<std::ptrdiff_t>(written), '\n'));
                rows_ += complete;
                unwritten_ += batch.size() - complete;
            } else {
                unwritten_ += batch.size();  // the file is broken; count what it misses
            }
            batch.clear();
        }
        if (stopping) {
            return;
        }
    }
}

void Recorder::formatRow_(const TelemetryEvent& event, std::string& out) {
    std::array<char, 48> monotonic{};
    const auto [end, error] = std::to_chars(monotonic.data(), monotonic.data() + monotonic.size(),
                                            event.monotonicSeconds, std::chars_format::fixed, 6);
    out.append(monotonic.data(), error == std::errc() ? end : monotonic.data());
    out.push_back(',');
    isoTime_->append(out, event.wallSeconds);
    if (event.kind == TelemetryEvent::Kind::Sample) {
        for (const double value : event.sample.joints) {
            out.push_back(',');
            appendReal(out, value);
        }
        for (const double value : event.sample.tcpPose) {
            out.push_back(',');
            appendReal(out, value);
        }
    } else {
        out.append(12, ',');
        latestStatus_ = event.status;
    }
    for (const char* column : kStatusColumns) {
        out.push_back(',');
        const auto found = latestStatus_.find(column);
        if (found != latestStatus_.end()) {
            appendInteger(out, found->second);
        }
    }
    // Every row repeats the latest status, so only this column tells a status row apart.
    out.append(event.kind == TelemetryEvent::Kind::Sample ? ",sample\n" : ",status\n");
}

std::size_t Recorder::writeAll_(const std::string& text,
                                std::optional<Clock::time_point> deadline) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + written, text.size() - written);
        if (n >= 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            writeError_ = std::strerror(errno);
            break;
        }
        // The file takes nothing now (a full pipe, a stalled reader). Rows that arrive
        // meanwhile queue up and are dropped and counted when the queue is full; a stop gives
        // the file a grace period and then counts what it did not take as lost.
        const auto limit = deadline ? *deadline : stopDeadline_.load();
        const auto now = Clock::now();
        if (now >= limit) {
            writeError_ = "the file took no data for " + std::to_string(kStopGrace.count()) + " ms";
            break;
        }
        pollfd writable{fd_, POLLOUT, 0};
        const auto slice = std::min<Clock::duration>(limit - now, kStalledWritePoll);
        ::poll(&writable, 1,
               static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(slice).count()));
    }
    return written;
}

RecordingSummary Recorder::finish() {
    if (finished_) {
        return {path_, rows_, lost_ + unwritten_};
    }
    finished_ = true;
    requestStop_();
    if (writer_.joinable()) {
        writer_.join();
    }
    if (::close(fd_) != 0 && writeError_.empty()) {
        writeError_ = std::strerror(errno);
    }
    fd_ = -1;
    std::uint64_t lost = 0;
    {
        std::lock_guard lock(mutex_);
        lost = lost_ + unwritten_;
    }
    if (!writeError_.empty()) {
        throw std::runtime_error("Failed to write the telemetry recording file " + quoted(path_) +
                                 " after " + std::to_string(rows_) + " rows (" +
                                 std::to_string(lost) + " lost): " + writeError_);
    }
    return {path_, rows_, lost};
}

// --- The receiver's side ---------------------------------------------------------------------

void EthernetReceiveInterface::startRecording(const std::string& path) {
    {
        // The recording is taken before the file is touched, so that a start refused because
        // another one runs (or is starting) leaves the file as it was.
        std::lock_guard lock(impl_->listenersMutex_);
        if (impl_->recorder_) {
            throw std::runtime_error("A telemetry recording is already running, to " +
                                     quoted(impl_->recorder_->path()));
        }
        if (impl_->recordingStarting_) {
            throw std::runtime_error("A telemetry recording is already starting");
        }
        impl_->recordingStarting_ = true;
    }
    std::unique_ptr<Recorder> recorder;
    try {
        // Opening and the header happen here, on the caller's thread, so that a bad path
        // fails now.
        recorder = std::make_unique<Recorder>(path);
    } catch (...) {
        std::lock_guard lock(impl_->listenersMutex_);
        impl_->recordingStarting_ = false;
        throw;
    }
    std::lock_guard lock(impl_->listenersMutex_);
    impl_->recordingStarting_ = false;
    Recorder& registered = *recorder;
    impl_->recorder_ = std::move(recorder);
    impl_->updateListening_();
    // After registering: the parser reads the listening flag under the status lock, so a
    // status published meanwhile is either seen here or delivered to the recording, never
    // neither. The delivery waits for listenersMutex_, so the seed comes first.
    std::lock_guard statusLock(impl_->statusMutex_);
    if (impl_->hasStatus_) {
        registered.seedStatus(impl_->status_);
    }
}

RecordingSummary EthernetReceiveInterface::stopRecording() {
    std::unique_ptr<Recorder> recorder;
    {
        std::lock_guard lock(impl_->listenersMutex_);
        recorder = std::move(impl_->recorder_);
        impl_->updateListening_();
    }
    if (!recorder) {
        throw std::runtime_error("No telemetry recording is running");
    }
    return recorder->finish();
}

bool EthernetReceiveInterface::isRecording() const {
    std::lock_guard lock(impl_->listenersMutex_);
    return impl_->recorder_ != nullptr;
}

}  // namespace epson
