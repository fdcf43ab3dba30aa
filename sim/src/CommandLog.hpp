#pragma once

// Every received command line, as a ring bounded in lines and in memory: a client that floods
// the simulator, logged in or not, cannot grow it without bound. A line costs its bytes and
// kLineOverhead for its bookkeeping (the string and its slot in the ring, at least what an empty
// line takes), so empty lines count too. Indices count lines since the last clear, dropped ones
// included, so a waiter's position stays valid while old lines fall out.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "epson_sim/Simulator.hpp"

namespace epson::sim::detail {

inline constexpr std::size_t kLineOverhead = 64;
inline constexpr std::size_t kMaxLogCapacity = 10'000'000;

class CommandLog {
  public:
    // Throws std::invalid_argument for a capacity outside 1..kMaxLogCapacity or a byte bound
    // of 0.
    CommandLog(std::size_t capacity, std::size_t maxBytes);

    void record(const std::string& line);
    std::vector<std::string> lines() const;
    void clear();
    // Keeps the newest lines when the capacity shrinks. Throws std::invalid_argument outside
    // 1..kMaxLogCapacity.
    void setCapacity(std::size_t capacity);
    std::size_t capacity() const;
    std::optional<std::string> waitFor(const std::string& pattern,
                                       std::chrono::milliseconds timeout, MatchMode mode,
                                       std::size_t from) const;

  private:
    void trim();  // caller holds mutex_

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<std::string> lines_;
    std::size_t dropped_ = 0;  // lines that fell out of the ring since the last clear
    std::size_t capacity_;
    std::size_t maxBytes_;
    std::size_t bytes_ = 0;       // the lines' cost
    std::size_t generation_ = 0;  // counts clears, so that a waiter notices one
};

}  // namespace epson::sim::detail
