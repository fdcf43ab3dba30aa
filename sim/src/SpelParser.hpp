#pragma once

// The parser shared by the SPEL+ statements (Spel.cpp) and the points and conditions they
// take (SpelParser.cpp): tokens, points, the nesting bound. Private to the interpreter.

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "Controller.hpp"
#include "Spel.hpp"

namespace epson::sim::detail::spel {

using reply_code::kNotReady;
using reply_code::kOutOfRange;
using reply_code::kParameterCount;

// Deeper nesting of points or conditions is refused rather than recursed into: a line of
// brackets must not exhaust the stack.
inline constexpr int kMaxNesting = 32;

[[noreturn]] inline void fail(int code, const std::string& reason) {
    throw CommandError(code, reason);
}

enum class TokenKind { Identifier, Number, Symbol, End };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string upper;  // identifiers, upper-case
    double number = 0.0;
    char symbol = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
};

// Throws CommandError for a character or number the statement language does not have, and
// for a number literal beyond the representable range (15).
std::vector<Token> tokenize(const std::string& text);
bool isDigit(char c);
// 0..5 for X, Y, Z, U, V, W; -1 for another word.
int axisIndex(const std::string& upper);
bool isMotionModifier(const std::string& upper);

// A point: the TCP pose it stands for under the current Tool, the exact joints when it came
// from Here, AglToPls or JA, the LJM reference when it is LJM(...), and the configuration its
// flags name.
struct PointValue {
    Pose pose{};
    std::optional<Joints> joints;
    std::optional<Joints> reference;
    LjmOrientation orientation = LjmOrientation::Default;
    Configuration configuration{};
    bool hasConfiguration = false;
};

// Counts one level of nesting for as long as it lives.
class NestingGuard {
  public:
    explicit NestingGuard(int& depth) : depth_(depth) {
        if (++depth_ > kMaxNesting) {
            fail(kParameterCount, "nesting too deep");
        }
    }
    ~NestingGuard() { --depth_; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

  private:
    int& depth_;
};

class Parser {
  public:
    Parser(Controller& controller, std::string text, std::string original, Clock::time_point now)
        : c_(controller),
          text_(std::move(text)),
          original_(std::move(original)),
          tokens_(tokenize(text_)),
          now_(now) {}

    ExecResult statement(const std::optional<std::string>& parallel);

  private:
    // The statements (Spel.cpp).
    std::string printItem();
    ExecResult motion(bool isGo, const std::optional<std::string>& parallel);
    void requireMotionReady() const;
    void requireInsideBox(const Pose& tcp) const;
    void requireStorable(const std::array<double, 6>& values) const;

    // Points and conditions (SpelParser.cpp).
    const Token& peek(std::size_t ahead = 0) const {
        return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)];
    }
    const Token& next() {
        const Token& t = tokens_[pos_];
        if (pos_ + 1 < tokens_.size()) {
            ++pos_;
        }
        return t;
    }
    bool atEnd() const { return peek().kind == TokenKind::End; }
    bool isSymbol(char s, std::size_t ahead = 0) const {
        return peek(ahead).kind == TokenKind::Symbol && peek(ahead).symbol == s;
    }
    bool acceptSymbol(char s) {
        if (isSymbol(s)) {
            next();
            return true;
        }
        return false;
    }
    void expectSymbol(char s) {
        if (!acceptSymbol(s)) {
            fail(kParameterCount, std::string("expected '") + s + "'");
        }
    }
    bool acceptWord(const char* word) {
        if (peek().kind == TokenKind::Identifier && peek().upper == word) {
            next();
            return true;
        }
        return false;
    }
    std::string expectWord() {
        if (peek().kind != TokenKind::Identifier) {
            fail(kParameterCount, "expected a keyword");
        }
        return next().upper;
    }
    void expectEnd() {
        if (!atEnd()) {
            fail(kParameterCount, "unexpected text after the statement");
        }
    }

    double number() {
        double sign = 1.0;
        if (acceptSymbol('-')) {
            sign = -1.0;
        } else {
            acceptSymbol('+');
        }
        if (peek().kind != TokenKind::Number) {
            fail(kParameterCount, "expected a number");
        }
        return sign * next().number;
    }
    long long integer() {
        const double v = number();
        if (std::floor(v) != v || std::abs(v) > 1e15) {
            fail(kOutOfRange, "expected an integer");
        }
        return static_cast<long long>(v);
    }
    int integerIn(long long lo, long long hi, const char* what) {
        const long long v = integer();
        if (v < lo || v > hi) {
            fail(kOutOfRange, std::string(what) + " out of range");
        }
        return static_cast<int>(v);
    }
    int indexArgument(long long lo, long long hi, const char* what) {
        expectSymbol('(');
        const int v = integerIn(lo, hi, what);
        expectSymbol(')');
        return v;
    }
    std::vector<double> numberList(std::size_t minCount, std::size_t maxCount) {
        std::vector<double> values{number()};
        while (acceptSymbol(',')) {
            values.push_back(number());
        }
        if (values.size() < minCount || values.size() > maxCount) {
            fail(kParameterCount, "wrong number of values");
        }
        return values;
    }

    PointValue point();
    PointValue primaryPoint();
    void pointFlags(PointValue& p);
    Joints resolveJoints(const PointValue& p) const;
    ConditionPtr condition();
    ConditionPtr conditionTerm();
    ConditionPtr conditionFactor();
    ConditionPtr conditionValue();
    // The condition after Till or Find in a motion, or the one the statement of that name set.
    ConditionPtr searchCondition(bool till);

    Controller& c_;
    std::string text_;
    std::string original_;
    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    Clock::time_point now_;
};

}  // namespace epson::sim::detail::spel
