#pragma once

// Number text of the simulator, independent of the process locale (a host program may set a
// decimal comma globally; the wire must keep the full stop).

#include <optional>
#include <string>
#include <string_view>

namespace epson::sim::detail {

// Fixed notation, at most six decimals, trailing zeros and point trimmed, no "-0". Six
// decimals keep read-back checks of 1e-4 mm and 5e-3 mm comfortably exact.
std::string formatReal(double value);
std::string formatInteger(long long value);
// The whole text as one number (general or scientific notation), nothing else.
std::optional<double> parseReal(std::string_view text);
std::string toUpper(std::string_view text);
std::string trim(std::string_view text);

}  // namespace epson::sim::detail
