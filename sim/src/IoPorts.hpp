#pragma once

// Output bits, and the ties that make an input follow an output after a delay: a gripper whose
// "closed" sensor comes on 80 ms after its output. Pure state, no timers: the owner settles the
// changes that are due before it reads the inputs, and asks when the next one falls due.

#include <bitset>
#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

#include "Condition.hpp"

namespace epson::sim::detail {

inline constexpr std::size_t kOutputBits = 512;
using Outputs = std::bitset<kOutputBits>;
/// Bounds that keep a script from growing the state without end.
inline constexpr std::size_t kMaxInputTies = 64;
inline constexpr std::chrono::seconds kMaxTieDelay{60};

struct InputTie {
    std::size_t output = 0;
    std::size_t input = 0;
    std::chrono::steady_clock::duration delay{};
    bool inverted = false;  ///< the input is on while the output is off (an "open" sensor)
};

class IoPorts {
  public:
    using Clock = std::chrono::steady_clock;

    /// Replaces a tie of the same output and input. Throws std::invalid_argument for a bit out
    /// of range, a delay outside 0..kMaxTieDelay, or a new tie beyond kMaxInputTies.
    void tie(const InputTie& tie);
    void clearTies();
    /// Sets @p bit; each tie from it schedules its input, replacing that tie's change still
    /// pending (the sensor follows the last command).
    void setOutput(std::size_t bit, bool on, Clock::time_point now);
    bool output(std::size_t bit) const { return outputs_.test(bit); }
    const Outputs& outputs() const { return outputs_; }
    /// Applies to @p inputs, in time order, the changes due by @p now. True when any was.
    bool settle(Inputs& inputs, Clock::time_point now);
    /// @p inputs as they are at @p now, pending changes due by then applied.
    Inputs inputsAt(Inputs inputs, Clock::time_point now) const;
    std::optional<Clock::time_point> nextChange() const;

  private:
    struct Pending {
        Clock::time_point at;
        bool on = false;
    };
    Outputs outputs_;
    std::vector<InputTie> ties_;
    std::vector<std::optional<Pending>> pending_;  // one slot per tie
};

}  // namespace epson::sim::detail
