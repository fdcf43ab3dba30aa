#include "CommandLog.hpp"

#include <algorithm>
#include <stdexcept>

#include "ReplyRules.hpp"

namespace epson::sim::detail {

namespace {

std::size_t cost(const std::string& line) {
    return line.size() + kLineOverhead;
}

void checkCapacity(std::size_t capacity) {
    if (capacity == 0 || capacity > kMaxLogCapacity) {
        throw std::invalid_argument("the command log capacity must be between 1 and " +
                                    std::to_string(kMaxLogCapacity) + " lines");
    }
}

}  // namespace

CommandLog::CommandLog(std::size_t capacity, std::size_t maxBytes)
    : capacity_(capacity), maxBytes_(maxBytes) {
    checkCapacity(capacity);
    if (maxBytes == 0) {
        throw std::invalid_argument("the command log needs a byte bound of at least 1");
    }
}

void CommandLog::trim() {
    // The newest line always stays, however long: the session bounds a line's length.
    while (lines_.size() > capacity_ || (lines_.size() > 1 && bytes_ > maxBytes_)) {
        bytes_ -= cost(lines_.front());
        lines_.pop_front();
        ++dropped_;
    }
}

void CommandLog::record(const std::string& line) {
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
        bytes_ += cost(line);
        trim();
    }
    changed_.notify_all();
}

std::vector<std::string> CommandLog::lines() const {
    std::lock_guard lock(mutex_);
    return {lines_.begin(), lines_.end()};
}

void CommandLog::clear() {
    {
        std::lock_guard lock(mutex_);
        lines_.clear();
        bytes_ = 0;
        dropped_ = 0;
        ++generation_;
    }
    changed_.notify_all();
}

void CommandLog::setCapacity(std::size_t capacity) {
    checkCapacity(capacity);
    std::lock_guard lock(mutex_);
    capacity_ = capacity;
    trim();
}

std::size_t CommandLog::capacity() const {
    std::lock_guard lock(mutex_);
    return capacity_;
}

std::optional<std::string> CommandLog::waitFor(const std::string& pattern,
                                               std::chrono::milliseconds timeout, MatchMode mode,
                                               std::size_t from) const {
    const auto regex = compilePattern(pattern, mode);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    std::size_t next = from;
    std::size_t generation = generation_;
    for (;;) {
        if (generation != generation_) {
            generation = generation_;
            next = std::min(from, dropped_ + lines_.size());  // cleared meanwhile
        }
        for (next = std::max(next, dropped_); next < dropped_ + lines_.size(); ++next) {
            const std::string& line = lines_[next - dropped_];
            if (lineMatches(line, pattern, regex.get())) {
                return line;
            }
        }
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout &&
            generation == generation_ && next >= dropped_ + lines_.size()) {
            return std::nullopt;
        }
    }
}

}  // namespace epson::sim::detail
