#pragma once

// The SPEL+ subset that the simulator executes inside $Execute. Statements (keywords are
// case-insensitive):
//   Print <item>[, <item>...]
//       items: a number; Power, Tool, EStopOn, SysErr, SafetyOn, TeachOn, CtrlDev, XYLimMode,
//       Motor, Speed, SpeedS; Stat(0), RobotInfo(0), CtrlInfo(1), AccelMax(1|2), Agl(1..6),
//       TLDef(1..15), Accel(1|2), AccelS(1|2); CX..CW(<point>); PAgl(<point>, 1..6)
//   Motor On|Off, Reset, Power Low|High, TLSet n, <point>, TLClr n, Tool n,
//   Speed s[, a, b], Accel a, d[, ...], SpeedS v[, ...], AccelS a[, d[, ...]],
//   XYLimMode 0|1|On|Off, XYLim x1, x2, y1, y2, z1, z2 (all 0: no box)
//   Go <point> [CP] [LJM [flag]] [Till ...|Find ...] [!...!] [SYNC]
//   Move <point> [ROT] [ECP] [CP] [Till ...|Find ...] [!...!] [SYNC]
// Points: XY(x, y, z, u[, v, w]), Here, AglToPls(j1, ..., j6), TLSet(n), XYLim(1|2), named
// points (P1, P(1), any name given to the simulator), LJM(<point>[, Here|AglToPls(...)]),
// each optionally followed by offsets +X(d) / -Y(d) ... or replacements :Z(v) ....
//
// Inverse kinematics always takes the solution with the least joint motion: from the LJM
// reference when the point is LJM(...), otherwise from the current joints (the simulator keeps
// no hand/elbow/wrist flags, so Go with and without LJM, and PAgl of a plain XY(...), agree).
// The LJM orientation flag, CP, ROT, ECP, SYNC, search clauses and parallel statements are
// accepted and recorded but change nothing; a CP motion still answers when it ends.

#include <optional>
#include <string>

#include "Controller.hpp"

namespace epson::sim::detail {

struct ExecResult {
    std::optional<std::string> printed;  // Print: the text between the reply's quotes
    std::optional<MotionPlan> motion;    // Go / Move: the motion to start
};

// Throws CommandError with the reply code when the statement is refused; changes nothing then.
ExecResult execute(Controller& controller, const std::string& statement, Clock::time_point now);

}  // namespace epson::sim::detail
