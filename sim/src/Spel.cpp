#include "Spel.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "sim_text.hpp"

namespace epson::sim::detail {
namespace {

using reply_code::kNotReady;
using reply_code::kOutOfRange;
using reply_code::kParameterCount;

// Deeper nesting of points or conditions is refused rather than recursed into: a line of
// brackets must not exhaust the stack.
constexpr int kMaxNesting = 32;

[[noreturn]] void fail(int code, const std::string& reason) {
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

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

std::vector<Token> tokenize(const std::string& text) {
    std::vector<Token> tokens;
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        Token token;
        token.begin = i;
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            std::size_t j = i;
            while (j < n && (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == '_')) {
                ++j;
            }
            token.kind = TokenKind::Identifier;
            token.upper = toUpper(std::string_view(text).substr(i, j - i));
            token.end = j;
        } else if (isDigit(c) || (c == '.' && i + 1 < n && isDigit(text[i + 1]))) {
            std::size_t j = i;
            while (j < n && isDigit(text[j])) {
                ++j;
            }
            if (j < n && text[j] == '.') {
                ++j;
                while (j < n && isDigit(text[j])) {
                    ++j;
                }
            }
            if (j < n && (text[j] == 'e' || text[j] == 'E')) {
                std::size_t k = j + 1;
                if (k < n && (text[k] == '+' || text[k] == '-')) {
                    ++k;
                }
                if (k < n && isDigit(text[k])) {
                    while (k < n && isDigit(text[k])) {
                        ++k;
                    }
                    j = k;
                }
            }
            const auto value = parseReal(std::string_view(text).substr(i, j - i));
            if (!value) {
                fail(kParameterCount, "malformed number");
            }
            token.kind = TokenKind::Number;
            token.number = *value;
            token.end = j;
        } else if (std::strchr("(),+-:=/<>", c) != nullptr) {
            token.kind = TokenKind::Symbol;
            token.symbol = c;
            token.end = i + 1;
        } else {
            fail(kParameterCount, std::string("unexpected character '") + c + "'");
        }
        i = token.end;
        tokens.push_back(std::move(token));
    }
    Token end;
    end.begin = end.end = n;
    tokens.push_back(end);
    return tokens;
}

std::string boolText(bool value) {
    return value ? "True" : "False";
}

int axisIndex(const std::string& upper) {
    static const char* const kAxes[] = {"X", "Y", "Z", "U", "V", "W"};
    for (int i = 0; i < 6; ++i) {
        if (upper == kAxes[i]) {
            return i;
        }
    }
    return -1;
}

bool isMotionModifier(const std::string& upper) {
    return upper == "CP" || upper == "LJM" || upper == "ROT" || upper == "ECP" || upper == "SYNC";
}

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
    std::string printItem();
    ConditionPtr condition();
    ConditionPtr conditionTerm();
    ConditionPtr conditionFactor();
    ConditionPtr conditionValue();
    // The condition after Till or Find in a motion, or the one the statement of that name set.
    ConditionPtr searchCondition(bool till);

    ExecResult motion(bool isGo, const std::optional<std::string>& parallel);
    void requireMotionReady() const;
    void requireInsideBox(const Pose& tcp) const;

    Controller& c_;
    std::string text_;
    std::string original_;
    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    Clock::time_point now_;
};

PointValue Parser::point() {
    const NestingGuard guard(depth_);
    PointValue p = primaryPoint();
    for (;;) {
        const bool offset = (isSymbol('+') || isSymbol('-'));
        const bool replace = isSymbol(':');
        if (!(offset || replace) || peek(1).kind != TokenKind::Identifier || !isSymbol('(', 2)) {
            break;
        }
        const int axis = axisIndex(peek(1).upper);
        if (axis < 0) {
            break;
        }
        const double sign = isSymbol('-') ? -1.0 : 1.0;
        next();
        next();
        expectSymbol('(');
        const double value = number();
        expectSymbol(')');
        p.pose[axis] = replace ? value : p.pose[axis] + sign * value;
        p.joints.reset();
    }
    pointFlags(p);
    return p;
}

// Hand, elbow and wrist flags after a point: /R /L, /A /B, /NF /F.
void Parser::pointFlags(PointValue& p) {
    while (isSymbol('/') && peek(1).kind == TokenKind::Identifier) {
        const std::string flag = peek(1).upper;
        if (!p.hasConfiguration) {
            p.configuration = c_.model().configuration(p.joints ? *p.joints : c_.joints(now_));
        }
        if (flag == "R" || flag == "L") {
            p.configuration.lefty = flag == "L";
        } else if (flag == "A" || flag == "B") {
            p.configuration.below = flag == "B";
        } else if (flag == "F" || flag == "NF") {
            p.configuration.flip = flag == "F";
        } else {
            fail(kParameterCount, "unknown point flag /" + flag);
        }
        p.hasConfiguration = true;
        p.joints.reset();
        next();
        next();
    }
}

PointValue Parser::primaryPoint() {
    if (acceptSymbol('(')) {
        PointValue p = point();
        expectSymbol(')');
        return p;
    }
    const std::string name = expectWord();
    PointValue p;
    if (name == "HERE") {
        p.joints = c_.joints(now_);
        p.pose = c_.tcp(*p.joints);
    } else if (name == "XY") {
        expectSymbol('(');
        const auto v = numberList(4, 6);
        if (v.size() == 5) {
            fail(kParameterCount, "XY takes 4 or 6 values");
        }
        expectSymbol(')');
        std::copy(v.begin(), v.end(), p.pose.begin());
    } else if (name == "AGLTOPLS" || name == "JA") {
        expectSymbol('(');
        const auto v = numberList(6, 6);
        expectSymbol(')');
        Joints j{};
        std::copy(v.begin(), v.end(), j.begin());
        p.joints = j;
        p.pose = c_.tcp(j);
    } else if (name == "TLSET") {
        const int n = indexArgument(1, 15, "Tool number");
        if (!c_.tools[n]) {
            fail(kParameterCount, "Tool not defined");
        }
        p.pose = *c_.tools[n];
    } else if (name == "XYLIM") {
        const int corner = indexArgument(1, 2, "XYLim corner");
        const std::size_t k = corner == 1 ? 0 : 1;
        p.pose = {c_.xyLim[k], c_.xyLim[2 + k], c_.xyLim[4 + k], 0.0, 0.0, 0.0};
    } else if (name == "LJM") {
        expectSymbol('(');
        p = point();
        std::optional<Joints> reference;
        if (acceptSymbol(',')) {
            // A reference only seeds the search, so its joints need not be within the limits.
            const PointValue seed = point();
            reference = seed.joints ? *seed.joints : resolveJoints(seed);
            if (acceptSymbol(',')) {
                p.orientation =
                    static_cast<LjmOrientation>(integerIn(0, 2, "LJM orientation flag"));
            }
        }
        expectSymbol(')');
        p.reference = reference ? *reference : c_.joints(now_);
        p.joints.reset();
        p.hasConfiguration = false;
    } else {
        std::string key = name;
        if (name == "P" && isSymbol('(')) {
            key = "P" + std::to_string(indexArgument(0, 999999, "point number"));
        }
        if (const auto joints = c_.jointPoints.find(key); joints != c_.jointPoints.end()) {
            p.joints = joints->second;
            p.pose = c_.tcp(joints->second);
            return p;
        }
        if (key == "FINDPOS") {
            if (!c_.findPosition) {
                fail(kOutOfRange, "no position found yet");
            }
            p.pose = *c_.findPosition;
            return p;
        }
        const auto found = c_.points.find(key);
        if (found == c_.points.end()) {
            fail(kParameterCount, "unknown point " + key);
        }
        p.pose = found->second;
    }
    return p;
}

Joints Parser::resolveJoints(const PointValue& p) const {
    if (p.joints) {
        if (!c_.model().withinLimits(*p.joints)) {
            fail(kOutOfRange, "joint angles outside the limits");
        }
        return *p.joints;
    }
    const Joints current = c_.joints(now_);
    if (p.reference) {
        const auto solution =
            c_.model().inverseNearest(p.pose, c_.toolPose(), *p.reference, p.orientation);
        if (!solution) {
            fail(kOutOfRange, "target out of reach");
        }
        return *solution;
    }
    // Without LJM the arm keeps the configuration of the point, or its own.
    const Configuration keep =
        p.hasConfiguration ? p.configuration : c_.model().configuration(current);
    const auto solution = c_.model().inverseKeeping(p.pose, c_.toolPose(), keep, current);
    if (!solution) {
        fail(kOutOfRange, c_.model().inverse(p.pose, c_.toolPose()).empty()
                              ? "target out of reach"
                              : "target out of reach in this configuration");
    }
    return *solution;
}

std::string Parser::printItem() {
    if (peek().kind == TokenKind::Number || isSymbol('-') || isSymbol('+')) {
        return formatReal(number());
    }
    const std::string name = expectWord();
    if (name == "POWER") {
        return formatInteger(c_.power);
    }
    if (name == "TOOL") {
        return formatInteger(c_.tool);
    }
    if (name == "ESTOPON") {
        return boolText(c_.emergencyStop);
    }
    if (name == "SYSERR") {
        return formatInteger(c_.systemError);
    }
    if (name == "SAFETYON") {
        return boolText(c_.safeguardOpen);
    }
    if (name == "TEACHON") {
        return boolText(c_.teachMode);
    }
    if (name == "CTRLDEV") {
        return formatInteger(kControlDevice);
    }
    if (name == "XYLIMMODE") {
        return formatInteger(c_.xyLimMode);
    }
    if (name == "MOTOR") {
        return boolText(c_.motorsOn);
    }
    if (name == "SPEED") {
        return formatInteger(c_.speed);
    }
    if (name == "SPEEDS") {
        return formatReal(c_.speedS);
    }
    if (name == "STAT") {
        indexArgument(0, 0, "Stat index");
        return formatInteger(c_.stat());
    }
    if (name == "ROBOTINFO") {
        indexArgument(0, 0, "RobotInfo index");
        return formatInteger(c_.robotInfo());
    }
    if (name == "CTRLINFO") {
        indexArgument(1, 1, "CtrlInfo index");
        return formatInteger(c_.ctrlInfo());
    }
    if (name == "ACCELMAX") {
        indexArgument(1, 2, "AccelMax index");
        return formatInteger(c_.limits().accelMax);
    }
    if (name == "ACCEL") {
        return formatInteger(indexArgument(1, 2, "Accel index") == 1 ? c_.accel : c_.decel);
    }
    if (name == "ACCELS") {
        return formatReal(indexArgument(1, 2, "AccelS index") == 1 ? c_.accelS : c_.decelS);
    }
    if (name == "AGL") {
        const int j = indexArgument(1, 6, "joint number");
        return formatReal(c_.joints(now_)[j - 1]);
    }
    if (name == "SW") {
        return formatInteger(
            c_.inputs.test(static_cast<std::size_t>(indexArgument(0, kInputBits - 1, "input bit")))
                ? 1
                : 0);
    }
    if (name == "IN") {
        Condition in;
        in.kind = Condition::Kind::In;
        in.value = indexArgument(0, kInputBits / 8 - 1, "input port");
        return formatInteger(in.evaluate(c_.inputs));
    }
    if (name == "POSFOUND") {
        return boolText(c_.findPosition.has_value());
    }
    if (name == "TLDEF") {
        return boolText(c_.tools[indexArgument(1, 15, "Tool number")].has_value());
    }
    if (name.size() == 2 && name[0] == 'C' && axisIndex(name.substr(1)) >= 0) {
        expectSymbol('(');
        const PointValue p = point();
        expectSymbol(')');
        return formatReal(p.pose[axisIndex(name.substr(1))]);
    }
    if (name == "PAGL") {
        expectSymbol('(');
        const PointValue p = point();
        expectSymbol(',');
        const int j = integerIn(1, 6, "joint number");
        expectSymbol(')');
        return formatReal(resolveJoints(p)[j - 1]);
    }
    fail(kParameterCount, "unknown function " + name);
}

void Parser::requireMotionReady() const {
    if (c_.emergencyStop) {
        fail(kNotReady, "emergency stop");
    }
    if (!c_.motorsOn) {
        fail(kNotReady, "motors are off");
    }
}

void Parser::requireInsideBox(const Pose& tcp) const {
    if (c_.xyLimActive() && !c_.insideXyLim(tcp)) {
        fail(kOutOfRange, "target outside the XYLim box");
    }
}

ExecResult Parser::motion(bool isGo, const std::optional<std::string>& parallel) {
    PointValue target = point();
    MotionPlan plan;  // only its conditions, until the planner makes the rest
    MotionRecord record;
    record.statement = original_;
    if (parallel) {
        record.parallelStatements = *parallel;
    }
    while (!atEnd()) {
        const std::string word = expectWord();
        if (word == "CP" && !record.cp) {
            record.cp = true;
        } else if (word == "LJM" && isGo && !record.ljm) {
            record.ljm = true;
            if (peek().kind == TokenKind::Number) {
                record.orientationFlag = integerIn(0, 2, "LJM orientation flag");
            }
        } else if (word == "ROT" && !isGo && !record.rot) {
            record.rot = true;
        } else if (word == "ECP" && !isGo && !record.ecp) {
            record.ecp = true;
        } else if (word == "SYNC" && !record.sync) {
            record.sync = true;
        } else if ((word == "TILL" && !plan.till) || (word == "FIND" && !plan.find)) {
            const std::size_t begin = tokens_[pos_ - 1].begin;
            (word == "TILL" ? plan.till : plan.find) = searchCondition(word == "TILL");
            const std::size_t end = tokens_[pos_ - 1].end;
            record.searchClause += (record.searchClause.empty() ? "" : " ") +
                                   trim(std::string_view(text_).substr(begin, end - begin));
        } else {
            fail(kParameterCount, "unexpected modifier " + word);
        }
    }
    requireMotionReady();
    if (record.ljm && !target.reference && !target.joints) {
        target.reference = c_.joints(now_);
        target.orientation = static_cast<LjmOrientation>(record.orientationFlag.value_or(0));
    }
    MotionPlan planned;
    if (isGo) {
        const Joints joints = resolveJoints(target);
        requireInsideBox(c_.tcp(joints));
        planned = c_.planGo(joints, std::move(record));
    } else {
        requireInsideBox(target.pose);
        planned = c_.planMove(target.pose, std::move(record));
    }
    if (!std::isfinite(planned.profile.duration())) {
        fail(kOutOfRange, "motion settings give no finite duration");
    }
    planned.till = plan.till;
    planned.find = plan.find;
    return ExecResult{std::nullopt, std::move(planned)};
}

ConditionPtr Parser::searchCondition(bool till) {
    if (atEnd() || (peek().kind == TokenKind::Identifier && isMotionModifier(peek().upper))) {
        const ConditionPtr& set = till ? c_.tillCondition : c_.findCondition;
        if (!set) {
            fail(kParameterCount, till ? "no Till condition set" : "no Find condition set");
        }
        return set;
    }
    return condition();
}

ConditionPtr Parser::condition() {
    ConditionPtr left = conditionTerm();
    for (;;) {
        Condition::Kind kind;
        if (acceptWord("OR")) {
            kind = Condition::Kind::Or;
        } else if (acceptWord("XOR")) {
            kind = Condition::Kind::Xor;
        } else {
            return left;
        }
        auto node = std::make_shared<Condition>();
        node->kind = kind;
        node->operands = {left, conditionTerm()};
        left = node;
    }
}

ConditionPtr Parser::conditionTerm() {
    ConditionPtr left = conditionFactor();
    while (acceptWord("AND")) {
        auto node = std::make_shared<Condition>();
        node->kind = Condition::Kind::And;
        node->operands = {left, conditionFactor()};
        left = node;
    }
    return left;
}

ConditionPtr Parser::conditionFactor() {
    const NestingGuard guard(depth_);
    if (acceptWord("NOT")) {
        auto node = std::make_shared<Condition>();
        node->kind = Condition::Kind::Not;
        node->operands = {conditionFactor()};
        return node;
    }
    if (acceptSymbol('(')) {
        ConditionPtr inner = condition();
        expectSymbol(')');
        return inner;
    }
    ConditionPtr left = conditionValue();
    Condition::Kind kind;
    if (acceptSymbol('=')) {
        kind = Condition::Kind::Eq;
    } else if (acceptSymbol('<')) {
        kind = acceptSymbol('>')   ? Condition::Kind::Ne
               : acceptSymbol('=') ? Condition::Kind::Le
                                   : Condition::Kind::Lt;
    } else if (acceptSymbol('>')) {
        kind = acceptSymbol('=') ? Condition::Kind::Ge : Condition::Kind::Gt;
    } else {
        return left;
    }
    auto node = std::make_shared<Condition>();
    node->kind = kind;
    node->operands = {left, conditionValue()};
    return node;
}

ConditionPtr Parser::conditionValue() {
    auto node = std::make_shared<Condition>();
    if (peek().kind == TokenKind::Number || isSymbol('-') || isSymbol('+')) {
        node->value = integer();
    } else if (acceptWord("ON")) {
        node->value = 1;
    } else if (acceptWord("OFF")) {
        node->value = 0;
    } else if (acceptWord("SW")) {
        node->kind = Condition::Kind::Sw;
        node->value = indexArgument(0, kInputBits - 1, "input bit");
    } else if (acceptWord("IN")) {
        node->kind = Condition::Kind::In;
        node->value = indexArgument(0, kInputBits / 8 - 1, "input port");
    } else {
        fail(kParameterCount, "expected Sw(n), In(n), a number, On or Off");
    }
    return node;
}

ExecResult Parser::statement(const std::optional<std::string>& parallel) {
    const std::string word = expectWord();
    if (parallel && word != "GO" && word != "MOVE") {
        fail(kParameterCount, "parallel statements belong to Go or Move");
    }
    if (word == "GO" || word == "MOVE") {
        return motion(word == "GO", parallel);
    }
    if (word == "TILL" || word == "FIND") {
        ConditionPtr set = condition();
        expectEnd();
        (word == "TILL" ? c_.tillCondition : c_.findCondition) = std::move(set);
        return {};
    }
    if (word.size() > 1 && word.size() <= 7 && word[0] == 'P' &&
        std::all_of(word.begin() + 1, word.end(), [](char ch) { return isDigit(ch); }) &&
        isSymbol('=')) {
        next();
        const PointValue p = point();
        expectEnd();
        const std::string key = "P" + std::to_string(std::stoul(word.substr(1)));
        if (p.joints) {
            c_.points.erase(key);
            c_.jointPoints[key] = *p.joints;
        } else {
            c_.jointPoints.erase(key);
            c_.points[key] = p.pose;
        }
        return {};
    }
    if (word == "PRINT") {
        std::string text;
        if (!atEnd()) {
            text = printItem();
            while (acceptSymbol(',')) {
                text += ",";
                text += printItem();
            }
        }
        expectEnd();
        return ExecResult{text, std::nullopt};
    }
    if (word == "MOTOR") {
        const std::string state = expectWord();
        expectEnd();
        if (state == "ON") {
            if (c_.emergencyStop) {
                fail(kNotReady, "emergency stop");
            }
            if (c_.systemError != 0) {
                fail(kNotReady, "an error is pending; Reset first");
            }
            c_.motorsOn = true;
            c_.restoreMotionDefaults();
        } else if (state == "OFF") {
            c_.motorsOn = false;
        } else {
            fail(kParameterCount, "Motor On or Off");
        }
        return {};
    }
    if (word == "RESET") {
        expectEnd();
        if (c_.emergencyStop) {
            fail(kNotReady, "emergency stop still on");
        }
        c_.systemError = 0;
        c_.restoreMotionDefaults();
        return {};
    }
    if (word == "POWER") {
        const std::string mode = expectWord();
        expectEnd();
        if (mode != "LOW" && mode != "HIGH") {
            fail(kParameterCount, "Power Low or High");
        }
        c_.power = mode == "HIGH" ? 1 : 0;
        return {};
    }
    if (word == "TLSET") {
        const int n = integerIn(1, 15, "Tool number");
        expectSymbol(',');
        const PointValue p = point();
        expectEnd();
        c_.tools[n] = p.pose;
        return {};
    }
    if (word == "TLCLR") {
        const int n = integerIn(1, 15, "Tool number");
        expectEnd();
        c_.tools[n].reset();
        return {};
    }
    if (word == "TOOL") {
        const int n = integerIn(0, 15, "Tool number");
        expectEnd();
        if (n > 0 && !c_.tools[n]) {
            fail(kParameterCount, "Tool not defined");
        }
        c_.tool = n;
        return {};
    }
    if (word == "SPEED" || word == "ACCEL") {
        const bool isSpeed = word == "SPEED";
        const auto values = isSpeed ? numberList(1, 3) : numberList(2, 6);
        expectEnd();
        const double max = isSpeed ? 100.0 : c_.limits().accelMax;
        for (double v : values) {
            if (std::floor(v) != v || v < 1.0 || v > max) {
                fail(kOutOfRange, word + " value out of range");
            }
        }
        if (isSpeed) {
            c_.speed = static_cast<int>(values[0]);
        } else {
            c_.accel = static_cast<int>(values[0]);
            c_.decel = static_cast<int>(values[1]);
        }
        return {};
    }
    if (word == "SPEEDS" || word == "ACCELS") {
        const bool isSpeed = word == "SPEEDS";
        const auto values = numberList(1, 3);
        expectEnd();
        const double min = isSpeed ? c_.limits().minSpeedS : c_.limits().minAccelS;
        const double max = isSpeed ? c_.limits().maxSpeedS : c_.limits().maxAccelS;
        for (double v : values) {
            if (!(v >= min && v <= max)) {
                fail(kOutOfRange, word + " value out of range");
            }
        }
        if (isSpeed) {
            c_.speedS = values[0];
        } else {
            c_.accelS = values[0];
            c_.decelS = values.size() > 1 ? values[1] : values[0];
        }
        return {};
    }
    if (word == "XYLIMMODE") {
        int mode = 0;
        if (acceptWord("ON")) {
            mode = 1;
        } else if (!acceptWord("OFF")) {
            mode = integerIn(0, 1, "XYLimMode");
        }
        expectEnd();
        c_.xyLimMode = mode;
        return {};
    }
    if (word == "XYLIM") {
        const auto v = numberList(6, 6);
        expectEnd();
        const bool none = std::all_of(v.begin(), v.end(), [](double x) { return x == 0.0; });
        if (!none && !(v[0] < v[1] && v[2] < v[3] && v[4] < v[5])) {
            fail(kOutOfRange, "XYLim minimum not below maximum");
        }
        std::copy(v.begin(), v.end(), c_.xyLim.begin());
        return {};
    }
    fail(kParameterCount, "unknown statement " + word);
}

}  // namespace

ExecResult execute(Controller& controller, const std::string& statement, Clock::time_point now) {
    // Parallel statements "!...!" may hold any text; cut them out before tokenizing.
    std::string text = statement;
    std::optional<std::string> parallel;
    const auto open = text.find('!');
    if (open != std::string::npos) {
        const auto close = text.find('!', open + 1);
        if (close == std::string::npos) {
            fail(kParameterCount, "unterminated parallel statements");
        }
        parallel = trim(std::string_view(text).substr(open + 1, close - open - 1));
        text.erase(open, close - open + 1);
        if (text.find('!') != std::string::npos) {
            fail(kParameterCount, "more than one parallel clause");
        }
    }
    Parser parser(controller, std::move(text), statement, now);
    return parser.statement(parallel);
}

}  // namespace epson::sim::detail
