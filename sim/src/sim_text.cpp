#include "sim_text.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace epson::sim::detail {

bool representable(double value) {
    return std::isfinite(value) && std::abs(value) <= kMaxMagnitude;
}

bool storable(const std::array<double, 6>& values) {
    return std::all_of(values.begin(), values.end(),
                       [](double v) { return std::isfinite(v) && std::abs(v) <= kMaxCoordinate; });
}

std::string formatReal(double value) {
    if (!representable(value)) {
        throw std::domain_error("a number beyond the printable range");
    }
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    if (result.ec != std::errc()) {
        throw std::domain_error("a number that does not fit its field");
    }
    std::string text(buffer, result.ptr);
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') {
            text.pop_back();
        }
        if (text.back() == '.') {
            text.pop_back();
        }
    }
    if (text == "-0") {
        text = "0";
    }
    return text;
}

std::string formatInteger(long long value) {
    return std::to_string(value);
}

std::optional<double> parseReal(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (*begin == '+') {
        ++begin;
    }
    double value = 0.0;
    const auto result = std::from_chars(begin, end, value, std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != end) {
        return std::nullopt;
    }
    return value;
}

std::string toUpper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

std::string echoName(std::string_view name) {
    std::string echo;
    for (const char c : name.substr(0, 64)) {
        const bool printable = c > ' ' && c < 0x7f && c != '"' && c != ',';
        echo += printable ? c : '?';
    }
    return echo;
}

std::optional<std::string> pointKey(std::string_view name) {
    const std::string text = trim(name);
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    const auto numbered = [&](std::string_view digits) -> std::optional<std::string> {
        const std::string d = trim(digits);
        const std::size_t first = d.find_first_not_of('0');
        const std::string significant = first == std::string::npos ? "0" : d.substr(first);
        if (d.empty() || significant.size() > std::to_string(kMaxPointNumber).size() ||
            !std::all_of(d.begin(), d.end(), isDigit)) {
            return std::nullopt;
        }
        return "P" + significant;
    };
    if (text.size() > 1 && (text[0] == 'P' || text[0] == 'p')) {
        const std::string_view rest = std::string_view(text).substr(1);
        const std::string inner = trim(rest);
        if (!inner.empty() && inner.front() == '(' && inner.back() == ')') {
            return numbered(std::string_view(inner).substr(1, inner.size() - 2));
        }
        if (std::all_of(rest.begin(), rest.end(), isDigit)) {
            return numbered(rest);
        }
    }
    const auto isWord = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    };
    if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0])) ||
        !std::all_of(text.begin(), text.end(), isWord) || text.size() > 64) {
        return std::nullopt;
    }
    return toUpper(text);
}

std::string trim(std::string_view text) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t b = 0;
    std::size_t e = text.size();
    while (b < e && isBlank(text[b])) {
        ++b;
    }
    while (e > b && isBlank(text[e - 1])) {
        --e;
    }
    return std::string(text.substr(b, e - b));
}

}  // namespace epson::sim::detail
