#include "SpelParser.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <utility>

#include "sim_text.hpp"

namespace epson::sim::detail::spel {

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
            if (!representable(*value)) {
                fail(kOutOfRange, "number beyond the representable range");
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
        if (!representable(p.pose[axis])) {
            fail(kOutOfRange, "coordinate beyond the representable range");
        }
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
            key = "P" + std::to_string(indexArgument(0, kMaxPointNumber, "point number"));
        } else if (name != "FINDPOS") {
            const auto normalised = pointKey(name);
            if (!normalised) {
                fail(kOutOfRange, "point number out of range");
            }
            key = *normalised;
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

}  // namespace epson::sim::detail::spel
