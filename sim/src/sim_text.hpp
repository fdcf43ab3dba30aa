#pragma once

// Number text of the simulator, independent of the process locale (a host program may set a
// decimal comma globally; the wire must keep the full stop).

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace epson::sim::detail {

// The largest magnitude of a real the simulator accepts or stores: every number it prints then
// fits the fixed notation below in a few dozen characters.
inline constexpr double kMaxMagnitude = 1e9;
// The largest coordinate of a stored pose (points, Tools, XYLim), in mm or degrees: with a Tool
// that long the TCP still prints well within kMaxMagnitude.
inline constexpr double kMaxCoordinate = 1e6;
// Points are numbered 0..kMaxPointNumber, as in a controller's point memory (P0..P999).
inline constexpr long long kMaxPointNumber = 999;

// Fixed notation, at most six decimals, trailing zeros and point trimmed, no "-0". Six
// decimals keep read-back checks of 1e-4 mm and 5e-3 mm comfortably exact. Throws
// std::domain_error for a value that is not finite or beyond kMaxMagnitude: such a value must
// have been refused where it entered, and no text but a number may reach the wire.
std::string formatReal(double value);
// Finite and within kMaxMagnitude.
bool representable(double value);
// Every value finite and within kMaxCoordinate.
bool storable(const std::array<double, 6>& values);
std::string formatInteger(long long value);
// The whole text as one number (general or scientific notation), nothing else.
std::optional<double> parseReal(std::string_view text);
std::string toUpper(std::string_view text);
// What an error reply echoes of the command name a client sent: printable ASCII without the
// protocol's delimiters, at most 64 characters, so that a hostile name cannot break the framing.
std::string echoName(std::string_view name);
// The one spelling of a point's name wherever it is stored or looked up: "P<n>" and "P(<n>)"
// (blanks allowed, leading zeros ignored, n up to kMaxPointNumber) become "P<n>", any other
// identifier is upper-cased. Empty for anything else.
std::optional<std::string> pointKey(std::string_view name);
std::string trim(std::string_view text);

}  // namespace epson::sim::detail
