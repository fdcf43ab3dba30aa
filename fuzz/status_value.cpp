// parseControllerStatusValue_ against an independent reader of the same rules: white space
// dropped anywhere, case folded, the words true and false, otherwise a whole integer in base 0
// (sign, then 0x for hexadecimal, a leading 0 for octal, decimal otherwise) within int64.
// The reference does its own digit arithmetic rather than call strtoll, so the two can disagree.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "CellCommandLinkImpl.hpp"
#include "FuzzSupport.hpp"

namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return 99;
}

std::optional<std::int64_t> reference(const std::string& text) {
    std::string s;
    for (const char c : text) {
        // The six blanks of the C locale; bytes above 127 are neither blank nor letters there.
        if (c == ' ' || (c >= '\t' && c <= '\r')) {
            continue;
        }
        s.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c);
    }
    if (s == "true") {
        return 1;
    }
    if (s == "false") {
        return 0;
    }
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    int base = 10;
    if (i + 2 < s.size() && s[i] == '0' && s[i + 1] == 'x' && digitValue(s[i + 2]) < 16) {
        base = 16;
        i += 2;
    } else if (i < s.size() && s[i] == '0') {
        base = 8;
    }
    if (i == s.size()) {
        return std::nullopt;
    }
    // 2^63: the magnitude of the most negative value; anything larger is out of range.
    constexpr unsigned __int128 kLimit = static_cast<unsigned __int128>(1) << 63;
    unsigned __int128 magnitude = 0;
    for (; i < s.size(); ++i) {
        const int digit = digitValue(s[i]);
        if (digit >= base) {
            return std::nullopt;
        }
        magnitude = magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (magnitude > kLimit) {
            return std::nullopt;
        }
    }
    if (negative) {
        return magnitude == kLimit ? std::numeric_limits<std::int64_t>::min()
                                   : -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude == kLimit) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(magnitude);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::optional<std::int64_t> value;
    std::optional<std::string> error;
    try {
        value = epson::CellCommandLink::Impl::parseControllerStatusValue_(text);
    } catch (const std::runtime_error& e) {
        error = e.what();
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, std::string("threw a non-runtime_error: ") + e.what());
    }
    const auto expected = reference(text);
    FUZZ_CHECK(value == expected,
               "value " + (value ? std::to_string(*value) : "none") + ", reference " +
                   (expected ? std::to_string(*expected) : "none") + " for: " + text);
    if (error) {
        FUZZ_CHECK(*error == epson::fuzz::asWhat(
                                 "Failed to parse controller status value as an integer: \"" +
                                 text + "\""),
                   *error);
    }
    return 0;
}
