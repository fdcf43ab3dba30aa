#include "spel_text.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <locale>
#include <sstream>

namespace epson::spel {

namespace {

std::ostringstream classicOutput() {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    return out;
}

std::istringstream classicInput(const std::string& text) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    return in;
}

}  // namespace

std::string formatGeneral(double value, int precision) {
    auto out = classicOutput();
    out << std::setprecision(precision) << value;
    return out.str();
}

std::string formatFixed(double value, int decimals) {
    auto out = classicOutput();
    out << std::fixed << std::setprecision(decimals) << value;
    return out.str();
}

std::string formatInteger(long long value) {
    auto out = classicOutput();
    out << value;
    return out.str();
}

std::string joinGeneral(const std::vector<double>& values, int precision) {
    auto out = classicOutput();
    out << std::setprecision(precision);
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) {
            out << ',';
        }
        out << values[i];
    }
    return out.str();
}

std::istringstream resultStream(const std::string& text) {
    std::string blanked = text;
    for (char& c : blanked) {
        if (c == ',') {
            c = ' ';
        }
    }
    return classicInput(blanked);
}

std::vector<double> readDoubles(const std::string& text) {
    auto in = resultStream(text);
    std::vector<double> values;
    double value = 0.0;
    while (in >> value) {
        values.push_back(value);
    }
    return values;
}

std::vector<std::string> readTokens(const std::string& text) {
    auto in = resultStream(text);
    std::vector<std::string> tokens;
    std::string token;
    while (in >> token) {
        tokens.push_back(token);
    }
    return tokens;
}

std::string lowerWithoutSpace(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        if (!isSpace(c)) {
            result.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
        }
    }
    return result;
}

bool withinTolerance(double actual, double expected, double tolerance) {
    const double slack = 1e-12 * std::max({1.0, std::abs(actual), std::abs(expected)});
    return std::abs(actual - expected) <= tolerance + slack;
}

bool onlyWhitespaceFrom(const std::string& text, std::size_t pos) {
    for (std::size_t i = pos; i < text.size(); ++i) {
        if (!isSpace(text[i])) {
            return false;
        }
    }
    return true;
}

namespace {

template <typename T>
std::optional<T> readSingle(const std::string& text) {
    auto in = classicInput(text);
    T value{};
    if (!(in >> value)) {
        return std::nullopt;
    }
    const auto pos = in.eof() ? text.size() : static_cast<std::size_t>(in.tellg());
    if (!onlyWhitespaceFrom(text, pos)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<long long> readSingleInteger(const std::string& text) {
    return readSingle<long long>(text);
}

std::optional<double> readSingleDouble(const std::string& text) {
    return readSingle<double>(text);
}

}  // namespace epson::spel
