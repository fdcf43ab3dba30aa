// The readers of printed controller results. The first byte picks the reader (its value modulo
// 8) and the form of the test (bit 7); for the IK reader, bits 3 to 6 pick the joint number:
//   text form: the remaining bytes are the printed result. The reader returns or throws
//     std::runtime_error quoting the text; what it returns agrees with an independent reading
//     of the same rules (strtoll / strtod on a comma-blanked copy).
//   round trip: the remaining bytes become values, which are printed the way a controller
//     prints them (various separators and number forms) and must read back unchanged; damaged
//     prints (a value too many or too few, a bound off by more than the tolerance) must fail.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "CellCommandLinkImpl.hpp"
#include "FuzzSupport.hpp"
#include "results.hpp"
#include "spel_text.hpp"

namespace {

namespace results = epson::results;
namespace spel = epson::spel;
using epson::fuzz::startsWith;

// --- Independent readers ---------------------------------------------------------------------

bool isBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool onlyBlanks(const char* begin, const char* end) {
    for (const char* p = begin; p < end; ++p) {
        if (!isBlank(*p)) {
            return false;
        }
    }
    return true;
}

std::string commasBlanked(std::string text) {
    for (char& c : text) {
        if (c == ',') {
            c = ' ';
        }
    }
    return text;
}

std::vector<std::string> blankSeparatedTokens(const std::string& text) {
    std::vector<std::string> tokens;
    std::string current;
    for (const char c : commasBlanked(text)) {
        if (isBlank(c)) {
            if (!current.empty()) {
                tokens.push_back(current);
                current.clear();
            }
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        tokens.push_back(current);
    }
    return tokens;
}

/// Decimal integers read one after another with strtoll; nullopt when one is missing or out
/// of range, or when anything but blanks follows the last. Commas separate like blanks only
/// where a reader expects several values.
std::optional<std::vector<long long>> readIntegers(const std::string& text, std::size_t count) {
    const std::string blanked = count > 1 ? commasBlanked(text) : text;
    const char* p = blanked.c_str();
    const char* const end = p + blanked.size();
    std::vector<long long> values;
    for (std::size_t i = 0; i < count; ++i) {
        char* stop = nullptr;
        errno = 0;
        const long long value = std::strtoll(p, &stop, 10);
        if (stop == p || errno == ERANGE) {
            return std::nullopt;
        }
        values.push_back(value);
        p = stop;
    }
    if (!onlyBlanks(p, end)) {
        return std::nullopt;
    }
    return values;
}

/// The plain decimal form a controller prints: a sign, digits with at most one point, and an
/// optional exponent. Finite when strtod does not overflow on it.
bool plainFiniteDecimal(const std::string& token) {
    const auto digit = [&](std::size_t i) { return token[i] >= '0' && token[i] <= '9'; };
    std::size_t i = 0;
    const std::size_t n = token.size();
    if (i < n && (token[i] == '+' || token[i] == '-')) {
        ++i;
    }
    std::size_t digits = 0;
    bool point = false;
    for (; i < n; ++i) {
        if (digit(i)) {
            ++digits;
        } else if (token[i] == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (i < n && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        if (i < n && (token[i] == '+' || token[i] == '-')) {
            ++i;
        }
        std::size_t exponentDigits = 0;
        for (; i < n && digit(i); ++i) {
            ++exponentDigits;
        }
        if (exponentDigits == 0) {
            return false;
        }
    }
    return i == n && std::isfinite(std::strtod(token.c_str(), nullptr));
}

std::string lowerWithoutBlanks(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (!isBlank(c)) {
            out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c);
        }
    }
    return out;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

/// Whether @p error is @p prefix followed by the quoted text, as far as what() can carry it.
bool quotes(const std::string& error, const std::string& prefix, const std::string& text) {
    return error == epson::fuzz::asWhat(prefix + quoted(text));
}

/// Runs @p call; returns the runtime_error message if it threw one, fails on any other type.
std::optional<std::string> errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return std::string(e.what());
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, std::string("threw a non-runtime_error: ") + e.what());
    }
    return std::nullopt;
}

// --- Text form -------------------------------------------------------------------------------

void checkText(unsigned parser, std::uint8_t extra, const std::string& text) {
    switch (parser) {
        case 0: {  // EStopOn: an int, or the words true / false
            bool value = false;
            const auto error = errorOf([&] { value = results::parseEmergencyStop(text); });
            std::optional<bool> expected;
            if (const auto number = readIntegers(text, 1);
                number && (*number)[0] >= INT_MIN && (*number)[0] <= INT_MAX) {
                expected = (*number)[0] != 0;
            } else if (lowerWithoutBlanks(text) == "true") {
                expected = true;
            } else if (lowerWithoutBlanks(text) == "false") {
                expected = false;
            }
            FUZZ_CHECK(error.has_value() == !expected.has_value(), text);
            if (expected) {
                FUZZ_CHECK(value == *expected, text);
            } else {
                FUZZ_CHECK(quotes(*error, "Failed to parse EStopOn response as a Boolean: ", text),
                           *error);
            }
            break;
        }
        case 1: {  // controller status: eight status values
            epson::ControllerStatus status;
            const auto error = errorOf([&] { status = results::parseControllerStatus(text); });
            const auto tokens = blankSeparatedTokens(text);
            if (!error) {
                FUZZ_CHECK(tokens.size() == 8, text);
                FUZZ_CHECK(status.size() == 8, text);
                for (const char* key :
                     {"stat", "system_error", "emergency_stopped", "safeguard_open", "teach_mode",
                      "control_device", "robot_info", "ctrl_info"}) {
                    FUZZ_CHECK(status.contains(key), key);
                }
            } else if (tokens.size() != 8) {
                FUZZ_CHECK(quotes(*error,
                                  "Failed to parse controller status. Expected 8 values, "
                                  "received " +
                                      std::to_string(tokens.size()) + ": ",
                                  text),
                           *error);
            } else {
                FUZZ_CHECK(
                    startsWith(*error, "Failed to parse controller status value as an integer: "),
                    *error);
            }
            break;
        }
        case 2: {  // AccelMax: two integers in 1..INT32_MAX
            epson::PtpMotionLimits limits;
            const auto error = errorOf([&] { limits = results::parsePtpMotionLimits(text); });
            const auto numbers = readIntegers(text, 2);
            const auto inRange = [](long long v) { return v >= 1 && v <= INT32_MAX; };
            const bool valid = numbers && inRange((*numbers)[0]) && inRange((*numbers)[1]);
            FUZZ_CHECK(error.has_value() == !valid, text);
            if (valid) {
                FUZZ_CHECK(limits.speed_percent == 100, text);
                FUZZ_CHECK(limits.acceleration_percent == (*numbers)[0], text);
                FUZZ_CHECK(limits.deceleration_percent == (*numbers)[1], text);
            } else {
                FUZZ_CHECK(
                    quotes(
                        *error,
                        "Failed to parse positive AccelMax limits from Epson controller: ", text),
                    *error);
            }
            break;
        }
        case 3:    // Tool definition: exactly six numbers
        case 4: {  // robot state: exactly twelve numbers
            const std::size_t count = parser == 3 ? 6 : 12;
            std::vector<double> values;
            const auto error = errorOf([&] {
                values = parser == 3 ? results::parseToolDefinition(text)
                                     : results::parseRobotState(text);
            });
            // Plain decimals only: every token is read, so the count alone decides.
            const auto tokens = blankSeparatedTokens(text);
            bool plain = true;
            for (const auto& token : tokens) {
                plain = plain && plainFiniteDecimal(token);
            }
            if (plain) {
                FUZZ_CHECK(error.has_value() == (tokens.size() != count), text);
                FUZZ_CHECK(!error || error->find(" received " + std::to_string(tokens.size()) +
                                                 ": ") != std::string::npos,
                           error.value_or(""));
            }
            if (!error) {
                FUZZ_CHECK(values.size() == count, text);
                for (const double v : values) {
                    FUZZ_CHECK(std::isfinite(v), text);
                }
                // As far as the tokens are plain decimals, each value is strtod's reading.
                for (std::size_t i = 0;
                     i < tokens.size() && i < values.size() && plainFiniteDecimal(tokens[i]); ++i) {
                    FUZZ_CHECK(std::strtod(tokens[i].c_str(), nullptr) == values[i], text);
                }
            } else {
                const std::string prefix = parser == 3
                                               ? "Failed to parse TLSet definition. Expected 6 "
                                                 "values, received "
                                               : "Failed to parse robot state. Expected 12 "
                                                 "values, received ";
                FUZZ_CHECK(startsWith(*error, prefix), *error);
                const std::string received =
                    error->substr(prefix.size(), error->find(':', prefix.size()) - prefix.size());
                FUZZ_CHECK(received != std::to_string(count), *error);
                FUZZ_CHECK(quotes(*error, prefix + received + ": ", text), *error);
            }
            break;
        }
        case 5: {  // IK joint: one finite number and nothing after it
            const int joint = 1 + extra % 6;
            double value = 0.0;
            const auto error = errorOf([&] { value = results::parseIkJoint(joint, text); });
            std::size_t first = 0;
            while (first < text.size() && isBlank(text[first])) {
                ++first;
            }
            std::size_t last = text.size();
            while (last > first && isBlank(text[last - 1])) {
                --last;
            }
            if (plainFiniteDecimal(text.substr(first, last - first))) {
                FUZZ_CHECK(!error, text);
            }
            if (!error) {
                FUZZ_CHECK(std::isfinite(value), text);
                char* stop = nullptr;
                const double reference = std::strtod(text.c_str(), &stop);
                FUZZ_CHECK(reference == value, text);
                FUZZ_CHECK(onlyBlanks(stop, text.data() + text.size()), text);
            } else {
                FUZZ_CHECK(quotes(*error,
                                  "Failed to parse Epson controller IK response for joint " +
                                      std::to_string(joint) + ": ",
                                  text),
                           *error);
            }
            break;
        }
        case 6: {  // XYLimMode read-back: exactly the integer 1
            const auto error = errorOf([&] { results::verifyXyLimMode(text); });
            const auto number = readIntegers(text, 1);
            FUZZ_CHECK(error.has_value() == (!number || (*number)[0] != 1), text);
            if (error) {
                FUZZ_CHECK(quotes(*error, "Epson controller did not verify XYLIM_STRICT: ", text),
                           *error);
            }
            break;
        }
        default: {  // XYLim bounds against a fixed box
            const std::vector<double> sent = {-500.0, 500.0, -400.5, 400.25, 0.0, 800.0};
            const auto error = errorOf([&] { results::verifyXyLimBounds(text, sent); });
            if (error) {
                FUZZ_CHECK(
                    quotes(*error, "Epson controller did not verify XYLim bounds: ", text) ||
                        quotes(*error, "Epson controller returned extra XYLim bounds: ", text),
                    *error);
            }
            // Plain decimals: six of them, each within the tolerance (with slack for the
            // binary rounding of the difference) or clearly beyond it, decide the outcome.
            const auto tokens = blankSeparatedTokens(text);
            bool plain = tokens.size() == sent.size();
            bool within = true;
            bool beyond = false;
            for (std::size_t i = 0; plain && i < tokens.size(); ++i) {
                plain = plainFiniteDecimal(tokens[i]);
                const double difference =
                    plain ? std::abs(std::strtod(tokens[i].c_str(), nullptr) - sent[i]) : 0.0;
                within = within && difference <= 0.005 - 1e-9;
                beyond = beyond || difference > 0.005 + 1e-9;
            }
            if (plain && within) {
                FUZZ_CHECK(!error, text);
            }
            if (plain && beyond) {
                FUZZ_CHECK(error.has_value(), text);
            }
            break;
        }
    }
}

// --- Round trip ------------------------------------------------------------------------------

std::string separator(FuzzedDataProvider& in) {
    static constexpr std::array<const char*, 5> kSeparators = {",", ", ", " ", "  ,\t", " , "};
    return kSeparators[in.ConsumeIntegralInRange<std::size_t>(0, kSeparators.size() - 1)];
}

/// Any finite double, subnormals and negative zero included.
double finiteDouble(FuzzedDataProvider& in) {
    const double value = std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    return std::isfinite(value) ? value : 0.0;
}

std::string joined(const std::vector<std::string>& parts, FuzzedDataProvider& in) {
    std::string text = in.ConsumeBool() ? " " : "";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        text += (i == 0 ? "" : separator(in)) + parts[i];
    }
    return text + (in.ConsumeBool() ? "\t " : "");
}

/// Status values in the forms a controller can print: decimal, hexadecimal, octal, a word.
std::string statusText(std::int64_t value, unsigned form) {
    const bool negative = value < 0;
    const auto magnitude =
        negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char buffer[40];
    switch (form % 5) {
        case 1:
            std::snprintf(buffer, sizeof buffer, "%s0x%llX", negative ? "-" : "",
                          static_cast<unsigned long long>(magnitude));
            return buffer;
        case 2:
            std::snprintf(buffer, sizeof buffer, "%s0%llo", negative ? "-" : "",
                          static_cast<unsigned long long>(magnitude));
            return buffer;
        case 3:
            if (value == 0 || value == 1) {
                return value == 1 ? "True" : "FALSE";
            }
            [[fallthrough]];
        default:
            return std::to_string(value);
    }
}

void checkRoundTrip(unsigned parser, FuzzedDataProvider& in) {
    switch (parser) {
        case 0: {
            const int value = in.ConsumeIntegral<int>();
            const std::string text = (in.ConsumeBool() ? " " : "") + std::to_string(value) + " ";
            FUZZ_CHECK(results::parseEmergencyStop(text) == (value != 0), text);
            break;
        }
        case 1: {
            static constexpr std::array<const char*, 8> kKeys = {
                "stat",       "system_error",   "emergency_stopped", "safeguard_open",
                "teach_mode", "control_device", "robot_info",        "ctrl_info"};
            epson::ControllerStatus expected;
            std::vector<std::string> parts;
            for (const char* key : kKeys) {
                // Small values half the time, so that the words are reached.
                const auto value = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int64_t>(0, 1)
                                                    : in.ConsumeIntegral<std::int64_t>();
                expected[key] = value;
                parts.push_back(statusText(value, in.ConsumeIntegral<std::uint8_t>()));
            }
            const std::string text = joined(parts, in);
            FUZZ_CHECK(results::parseControllerStatus(text) == expected, text);
            break;
        }
        case 2: {
            const auto acceleration = in.ConsumeIntegral<std::int32_t>();
            const auto deceleration = in.ConsumeIntegral<std::int32_t>();
            const std::string text =
                joined({std::to_string(acceleration), std::to_string(deceleration)}, in);
            if (acceleration >= 1 && deceleration >= 1) {
                const auto limits = results::parsePtpMotionLimits(text);
                FUZZ_CHECK(limits.speed_percent == 100 &&
                               limits.acceleration_percent == acceleration &&
                               limits.deceleration_percent == deceleration,
                           text);
            } else {
                FUZZ_CHECK(errorOf([&] { results::parsePtpMotionLimits(text); }), text);
            }
            break;
        }
        case 3:
        case 4: {
            const std::size_t count = parser == 3 ? 6 : 12;
            std::vector<double> values;
            std::vector<std::string> parts;
            for (std::size_t i = 0; i < count; ++i) {
                values.push_back(finiteDouble(in));
                parts.push_back(spel::formatGeneral(values.back(), 17));
            }
            const auto read = [parser](const std::string& text) {
                return parser == 3 ? results::parseToolDefinition(text)
                                   : results::parseRobotState(text);
            };
            const std::string text = joined(parts, in);
            FUZZ_CHECK(read(text) == values, text);
            // One value too many or too few is refused.
            const std::string longer = text + "," + parts.front();
            FUZZ_CHECK(errorOf([&] { read(longer); }), longer);
            parts.pop_back();
            const std::string shorter = joined(parts, in);
            FUZZ_CHECK(errorOf([&] { read(shorter); }), shorter);
            break;
        }
        case 5: {
            const double value = finiteDouble(in);
            const std::string text = spel::formatGeneral(value, 17) + (in.ConsumeBool() ? " " : "");
            FUZZ_CHECK(results::parseIkJoint(1, text) == value, text);
            const std::string trailing = text + "x";
            FUZZ_CHECK(errorOf([&] { results::parseIkJoint(1, trailing); }), trailing);
            break;
        }
        case 6: {
            const auto value = in.ConsumeIntegral<std::int32_t>();
            const std::string text = (in.ConsumeBool() ? "  " : "") + std::to_string(value) +
                                     (in.ConsumeBool() ? " \r\n" : "");
            FUZZ_CHECK(errorOf([&] { results::verifyXyLimMode(text); }).has_value() == (value != 1),
                       text);
            break;
        }
        default: {
            // Bounds as sent, printed back in full or rounded to three or four decimals.
            std::vector<double> sent;
            std::vector<std::string> parts;
            const unsigned form = in.ConsumeIntegralInRange<unsigned>(0, 2);
            for (int i = 0; i < 6; ++i) {
                sent.push_back(finiteDouble(in));
                parts.push_back(form == 0 ? spel::formatGeneral(sent.back(), 17)
                                          : spel::formatFixed(sent.back(), form == 1 ? 3 : 4));
            }
            const std::string text = joined(parts, in);
            FUZZ_CHECK(!errorOf([&] { results::verifyXyLimBounds(text, sent); }), text);
            const std::string extra = text + " 0";
            FUZZ_CHECK(errorOf([&] { results::verifyXyLimBounds(extra, sent); }) ==
                           "Epson controller returned extra XYLim bounds: " + quoted(extra),
                       extra);
            parts.pop_back();
            const std::string fewer = joined(parts, in);
            FUZZ_CHECK(errorOf([&] { results::verifyXyLimBounds(fewer, sent); }) ==
                           "Epson controller did not verify XYLim bounds: " + quoted(fewer),
                       fewer);
            // The tolerance edge: millimetre values with three decimals, printed back off by
            // exactly 0.005 (accepted) or by 0.006 (refused).
            std::vector<double> box;
            std::vector<std::string> atEdge;
            std::vector<std::string> beyond;
            for (int i = 0; i < 6; ++i) {
                const auto thousandths = in.ConsumeIntegralInRange<std::int64_t>(
                    -1'000'000'000, 1'000'000'000);  // up to 1000 m
                const int sign = in.ConsumeBool() ? 1 : -1;
                box.push_back(static_cast<double>(thousandths) / 1000.0);
                atEdge.push_back(
                    spel::formatFixed(static_cast<double>(thousandths + sign * 5) / 1000.0, 3));
                beyond.push_back(
                    spel::formatFixed(static_cast<double>(thousandths + sign * 6) / 1000.0, 3));
            }
            const std::string edgeText = joined(atEdge, in);
            FUZZ_CHECK(!errorOf([&] { results::verifyXyLimBounds(edgeText, box); }), edgeText);
            const std::size_t wrong = in.ConsumeIntegralInRange<std::size_t>(0, 5);
            atEdge[wrong] = beyond[wrong];
            const std::string beyondText = joined(atEdge, in);
            FUZZ_CHECK(errorOf([&] { results::verifyXyLimBounds(beyondText, box); }), beyondText);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const unsigned parser = data[0] % 8U;
    if ((data[0] & 0x80U) == 0) {
        // Bits 3 to 6 of the selector pick the joint that the IK reader names in its message.
        const auto extra = static_cast<std::uint8_t>(data[0] >> 3U);
        checkText(parser, extra, std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    } else {
        FuzzedDataProvider in(data + 1, size - 1);
        checkRoundTrip(parser, in);
    }
    return 0;
}
