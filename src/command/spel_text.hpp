#pragma once

// The one place where numbers become SPEL+ text and printed results become numbers. Everything
// is pinned to the classic locale so a host program's global locale cannot put a decimal comma
// on the wire or break parsing.

#include <cstddef>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace epson::spel {

/// General notation with @p precision significant digits, as printf "%.<precision>g".
std::string formatGeneral(double value, int precision);
/// Fixed notation with @p decimals digits after the point.
std::string formatFixed(double value, int decimals);
/// Plain decimal, as SPEL+ takes bit, port and other integer arguments.
std::string formatInteger(long long value);
/// Values in general notation joined by commas without blanks.
std::string joinGeneral(const std::vector<double>& values, int precision);

/// The one reader of printed results: commas become blanks, classic locale.
std::istringstream resultStream(const std::string& text);
/// Doubles extracted from resultStream() until one fails. Returns what was read.
std::vector<double> readDoubles(const std::string& text);
/// White-space separated tokens of resultStream().
std::vector<std::string> readTokens(const std::string& text);
/// Reads exactly one number followed by nothing but white space (leading blanks allowed).
std::optional<long long> readSingleInteger(const std::string& text);
std::optional<double> readSingleDouble(const std::string& text);
/// Whether only white space remains in @p text from @p pos on.
bool onlyWhitespaceFrom(const std::string& text, std::size_t pos);
/// |actual - expected| <= tolerance, with slack for binary rounding so that a decimal difference
/// of exactly the tolerance passes.
bool withinTolerance(double actual, double expected, double tolerance);
/// @p text without any white space, in ASCII lower case: how printed words are compared.
std::string lowerWithoutSpace(const std::string& text);
inline bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}
/// True for the blanks that the C locale calls white space.
constexpr bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace epson::spel
