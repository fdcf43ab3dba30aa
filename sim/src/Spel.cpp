#include "Spel.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "SpelParser.hpp"
#include "sim_text.hpp"

namespace epson::sim::detail {
namespace spel {
namespace {

std::string boolText(bool value) {
    return value ? "True" : "False";
}

}  // namespace

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
    if (name == "OPORT") {
        return formatInteger(
            c_.io.output(static_cast<std::size_t>(indexArgument(0, kOutputBits - 1, "output bit")))
                ? 1
                : 0);
    }
    if (name == "OUT" || name == "INW" || name == "OUTW") {
        const bool word = name != "OUT";
        const bool outputs = name != "INW";
        const std::size_t width = word ? 16 : 8;
        const auto port = static_cast<std::size_t>(indexArgument(
            0, static_cast<long long>(kInputBits / width) - 1, word ? "word port" : "output port"));
        long long value = 0;
        for (std::size_t bit = 0; bit < width; ++bit) {
            const std::size_t index = port * width + bit;
            if (outputs ? c_.io.output(index) : c_.inputs.test(index)) {
                value |= 1LL << bit;
            }
        }
        return formatInteger(value);
    }
    if (name == "TILLON") {
        return formatInteger(c_.tillOn ? 1 : 0);
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

void Parser::requireStorable(const std::array<double, 6>& values) const {
    if (!storable(values)) {
        fail(kOutOfRange, "coordinate beyond the range a point can hold");
    }
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

ExecResult Parser::statement(const std::optional<std::string>& parallel) {
    const std::string word = expectWord();
    if (parallel && word != "GO" && word != "MOVE") {
        fail(kParameterCount, "parallel statements belong to Go or Move");
    }
    if (word == "GO" || word == "MOVE") {
        return motion(word == "GO", parallel);
    }
    if (word == "ON" || word == "OFF") {
        // On/Off take a pulse time and a parallel flag too; only the plain form is modelled.
        const int bit = integerIn(0, kOutputBits - 1, "output bit");
        expectEnd();
        c_.io.setOutput(static_cast<std::size_t>(bit), word == "ON", now_);
        return {};
    }
    if (word == "TILL" || word == "FIND") {
        ConditionPtr set = condition();
        expectEnd();
        (word == "TILL" ? c_.tillCondition : c_.findCondition) = std::move(set);
        return {};
    }
    if (word.size() > 1 && word[0] == 'P' &&
        std::all_of(word.begin() + 1, word.end(), [](char ch) { return isDigit(ch); }) &&
        isSymbol('=')) {
        next();
        const auto named = pointKey(word);
        if (!named) {
            fail(kOutOfRange, "point number out of range");
        }
        const PointValue p = point();
        expectEnd();
        requireStorable(p.pose);
        if (!(p.joints ? c_.assignJointPoint(*named, *p.joints) : c_.assignPoint(*named, p.pose))) {
            fail(kOutOfRange, "the point memory is full");
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
        requireStorable(p.pose);
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
        std::array<double, 6> box{};
        std::copy(v.begin(), v.end(), box.begin());
        requireStorable(box);
        c_.xyLim = box;
        return {};
    }
    fail(kParameterCount, "unknown statement " + word);
}

}  // namespace spel

ExecResult execute(Controller& controller, const std::string& statement, Clock::time_point now) {
    // Parallel statements "!...!" may hold any text; cut them out before tokenizing.
    std::string text = statement;
    std::optional<std::string> parallel;
    const auto open = text.find('!');
    if (open != std::string::npos) {
        const auto close = text.find('!', open + 1);
        if (close == std::string::npos) {
            spel::fail(reply_code::kParameterCount, "unterminated parallel statements");
        }
        parallel = trim(std::string_view(text).substr(open + 1, close - open - 1));
        text.erase(open, close - open + 1);
        if (text.find('!') != std::string::npos) {
            spel::fail(reply_code::kParameterCount, "more than one parallel clause");
        }
    }
    // Inputs tied to outputs read as they are now, whether or not a timer has fired yet.
    controller.io.settle(controller.inputs, now);
    spel::Parser parser(controller, std::move(text), statement, now);
    return parser.statement(parallel);
}

}  // namespace epson::sim::detail
