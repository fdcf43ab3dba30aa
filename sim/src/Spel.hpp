#pragma once

// The SPEL+ subset that the simulator executes inside $Execute. Statements (keywords are
// case-insensitive):
//   Print <item>[, <item>...]
//       items: a number; Power, Tool, EStopOn, SysErr, SafetyOn, TeachOn, CtrlDev, XYLimMode,
//       Motor, Speed, SpeedS, PosFound, TillOn; Stat(0), RobotInfo(0), CtrlInfo(1), AccelMax(1|2),
//       Agl(1..6), TLDef(1..15), Accel(1|2), AccelS(1|2), Sw(bit), In(port), Oport(bit),
//       Out(port), InW(port), OutW(port);
//       CX..CW(<point>); PAgl(<point>, 1..6)
//   On bit, Off bit (outputs 0..511; inputs tied to them follow, see IoPorts.hpp),
//   Motor On|Off, Reset, Power Low|High, TLSet n, <point>, TLClr n, Tool n,
//   Speed s[, a, b], Accel a, d[, ...], SpeedS v[, ...], AccelS a[, d[, ...]],
//   XYLimMode 0|1|On|Off, XYLim x1, x2, y1, y2, z1, z2 (all 0: no box),
//   Till <condition>, Find <condition>, P<n> = <point>
//   Go <point> [CP] [LJM [flag]] [Till [<condition>]] [Find [<condition>]] [!...!] [SYNC]
//   Move <point> [ROT] [ECP] [CP] [Till [<condition>]] [Find [<condition>]] [!...!] [SYNC]
// Points: XY(x, y, z, u[, v, w]), Here, JA(j1, ..., j6), AglToPls(j1, ..., j6), TLSet(n),
// XYLim(1|2), FindPos, named points (P1, P(1), any name given to the simulator),
// LJM(<point>[, <reference point>[, orientation flag]]), each optionally followed by offsets
// +X(d) / -Y(d) ... or replacements :Z(v) ... and by configuration flags /R /L /A /B /NF /F.
// Conditions: see Condition.hpp. Nesting of points and conditions is bounded (kMaxNesting in
// SpelParser.hpp). Numbers beyond +-1e9 and stored coordinates beyond +-1e6 are refused (15),
// see sim_text.hpp.
//
// Inverse kinematics: a point with exact joints (Here, JA, AglToPls, a joint point) is taken
// as it is. LJM(...) and the LJM modifier take the least joint motion from the reference (the
// current joints when none is given), the orientation flag choosing the wrist as
// LjmOrientation describes. Any other point keeps the configuration its flags name, or else
// the current joints' configuration, nearest the current joints; a target that the arm can
// reach only in another configuration is refused (15).
// A motion's Till stops the arm, decelerating, when its condition holds (at once when it holds
// at the start); the motion then answers as if it had completed. Find records the TCP in
// FindPos when its condition first holds and lets the motion go on. CP, ROT, ECP, SYNC and
// parallel statements are accepted and recorded but change nothing.

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
