#pragma once

// Readers of the controller's printed results. Pure functions of the text, so that they can be
// tested and fuzzed without a connection; each throws std::runtime_error quoting the text.

#include <string>
#include <vector>

#include "epson/types.hpp"

namespace epson::results {

bool parseEmergencyStop(const std::string& text);
ControllerStatus parseControllerStatus(const std::string& text);
PtpMotionLimits parsePtpMotionLimits(const std::string& text);
std::vector<double> parseToolDefinition(const std::string& text);
std::vector<double> parseRobotState(const std::string& text);
double parseIkJoint(int joint, const std::string& text);
/// The "$GetStatus" reply: "#GetStatus," then eleven 0/1 flags and the error code.
RemoteStatus parseRemoteStatus(const std::string& reply);
/// "1", "-1" and "True" are true, "0" and "False" false (case and blanks aside).
bool parseTillOn(const std::string& text);
/// An I/O bit read by @p function ("Sw(3)"): "1", "-1" and "True" are on, "0" and "False" off.
bool parseIoBit(const std::string& function, const std::string& text);
/// An I/O byte or word read by @p function ("In(2)"): a plain integer from 0 to @p max.
int parseIoValue(const std::string& function, const std::string& text, int max);
/// Throws unless the XYLimMode read-back is exactly the integer 1.
void verifyXyLimMode(const std::string& text);
/// Throws unless the six bounds match @p sent within 0.005 mm, with nothing after them.
void verifyXyLimBounds(const std::string& text, const std::vector<double>& sent);

}  // namespace epson::results
