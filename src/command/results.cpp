#include "results.hpp"

#include <climits>
#include <cmath>
#include <stdexcept>

#include "CellCommandLinkImpl.hpp"
#include "spel_text.hpp"

namespace epson::results {

namespace {

constexpr double kBoundTolerance = 0.005;

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

}  // namespace

bool parseEmergencyStop(const std::string& text) {
    if (const auto number = spel::readSingleInteger(text);
        number && *number >= INT_MIN && *number <= INT_MAX) {
        return *number != 0;
    }
    const std::string word = spel::lowerWithoutSpace(text);
    if (word == "true") {
        return true;
    }
    if (word == "false") {
        return false;
    }
    throw std::runtime_error("Failed to parse EStopOn response as a Boolean: " + quoted(text));
}

ControllerStatus parseControllerStatus(const std::string& text) {
    static constexpr const char* kKeys[] = {"stat",           "system_error", "emergency_stopped",
                                            "safeguard_open", "teach_mode",   "control_device",
                                            "robot_info",     "ctrl_info"};
    static constexpr std::size_t kCount = std::size(kKeys);
    const auto tokens = spel::readTokens(text);
    if (tokens.size() != kCount) {
        throw std::runtime_error("Failed to parse controller status. Expected " +
                                 std::to_string(kCount) + " values, received " +
                                 std::to_string(tokens.size()) + ": " + quoted(text));
    }
    ControllerStatus status;
    for (std::size_t i = 0; i < kCount; ++i) {
        status[kKeys[i]] = CellCommandLink::Impl::parseControllerStatusValue_(tokens[i]);
    }
    return status;
}

PtpMotionLimits parsePtpMotionLimits(const std::string& text) {
    auto in = spel::resultStream(text);
    long long acceleration = 0;
    long long deceleration = 0;
    const bool read = static_cast<bool>(in >> acceleration >> deceleration);
    in >> std::ws;
    const auto valid = [](long long v) { return v >= 1 && v <= INT32_MAX; };
    if (!read || !in.eof() || !valid(acceleration) || !valid(deceleration)) {
        throw std::runtime_error(
            "Failed to parse positive AccelMax limits from Epson controller: " + quoted(text));
    }
    return PtpMotionLimits{100, static_cast<std::int32_t>(acceleration),
                           static_cast<std::int32_t>(deceleration)};
}

std::vector<double> parseToolDefinition(const std::string& text) {
    auto values = spel::readDoubles(text);
    if (values.size() != 6) {
        throw std::runtime_error("Failed to parse TLSet definition. Expected 6 values, received " +
                                 std::to_string(values.size()) + ": " + quoted(text));
    }
    return values;
}

std::vector<double> parseRobotState(const std::string& text) {
    auto values = spel::readDoubles(text);
    if (values.size() != 12) {
        throw std::runtime_error("Failed to parse robot state. Expected 12 values, received " +
                                 std::to_string(values.size()) + ": " + quoted(text));
    }
    return values;
}

double parseIkJoint(int joint, const std::string& text) {
    const auto value = spel::readSingleDouble(text);
    if (!value || !std::isfinite(*value)) {
        throw std::runtime_error("Failed to parse Epson controller IK response for joint " +
                                 std::to_string(joint) + ": " + quoted(text));
    }
    return *value;
}

RemoteStatus parseRemoteStatus(const std::string& reply) {
    const auto comma = reply.find(',');
    const auto tokens =
        spel::readTokens(comma == std::string::npos ? std::string() : reply.substr(comma + 1));
    const auto malformed = [&reply] {
        return std::runtime_error("Failed to parse GetStatus response: " + quoted(reply));
    };
    if (!spel::startsWith(reply, "#GetStatus") || tokens.size() != 2 || tokens[0].size() != 11 ||
        tokens[0].find_first_not_of("01") != std::string::npos || tokens[1].empty() ||
        tokens[1].size() > 9 || tokens[1].find_first_not_of("0123456789") != std::string::npos) {
        throw malformed();
    }
    const std::string& flags = tokens[0];
    const auto flag = [&flags](std::size_t index) { return flags[index] == '1'; };
    RemoteStatus status;
    status.test = flag(0);
    status.teach = flag(1);
    status.autoMode = flag(2);
    status.warning = flag(3);
    status.seriousError = flag(4);
    status.safeguard = flag(5);
    status.emergencyStop = flag(6);
    status.error = flag(7);
    status.paused = flag(8);
    status.running = flag(9);
    status.ready = flag(10);
    status.code = static_cast<std::int32_t>(std::stol(tokens[1]));
    return status;
}

bool parseTillOn(const std::string& text) {
    const std::string word = spel::lowerWithoutSpace(text);
    if (word == "1" || word == "-1" || word == "true") {
        return true;
    }
    if (word == "0" || word == "false") {
        return false;
    }
    throw std::runtime_error("Failed to parse TillOn response as a Boolean: " + quoted(text));
}

bool parseIoBit(const std::string& function, const std::string& text) {
    const std::string word = spel::lowerWithoutSpace(text);
    if (word == "1" || word == "-1" || word == "true") {
        return true;
    }
    if (word == "0" || word == "false") {
        return false;
    }
    throw std::runtime_error("Failed to parse " + function + " response as a bit: " + quoted(text));
}

int parseIoValue(const std::string& function, const std::string& text, int max) {
    const auto value = spel::readSingleInteger(text);
    if (!value || *value < 0 || *value > max) {
        throw std::runtime_error("Failed to parse " + function + " response as a value from 0 to " +
                                 std::to_string(max) + ": " + quoted(text));
    }
    return static_cast<int>(*value);
}

void verifyXyLimMode(const std::string& text) {
    if (spel::readSingleInteger(text) != 1) {
        throw std::runtime_error("Epson controller did not verify XYLIM_STRICT: " + quoted(text));
    }
}

void verifyXyLimBounds(const std::string& text, const std::vector<double>& sent) {
    auto in = spel::resultStream(text);
    for (const double expected : sent) {
        double value = 0.0;
        if (!(in >> value) || !std::isfinite(value) ||
            !spel::withinTolerance(value, expected, kBoundTolerance)) {
            throw std::runtime_error("Epson controller did not verify XYLim bounds: " +
                                     quoted(text));
        }
    }
    in >> std::ws;
    if (!in.eof()) {
        throw std::runtime_error("Epson controller returned extra XYLim bounds: " + quoted(text));
    }
}

}  // namespace epson::results
