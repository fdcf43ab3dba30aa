#pragma once

// Fault scripts: the Simulator's hooks as lines of text, for a rules file given to epson-sim
// at start-up and for the control channel (SimulatorOptions::controlPort). One directive a
// line; blank lines and lines starting with "#" are skipped. Words are separated by blanks; a
// word in double quotes may hold blanks and the escapes \" \\ \r \n \t. kScriptDirectives
// lists the directives. Patterns with "regex" use RE2 syntax (no backreferences or
// look-around), matched anywhere in the line.

#include <chrono>
#include <string>
#include <string_view>

#include "epson_sim/Simulator.hpp"

namespace epson::sim {

inline constexpr const char* kScriptDirectives =
    "  delay PATTERN SECONDS [times=N] [regex]       execute now, reply later\n"
    "  answer PATTERN REPLY [times=N] [regex] [raw]  reply instead of executing\n"
    "  silent PATTERN [times=N] [regex]              neither execute nor reply\n"
    "  drop PATTERN [times=N] [regex] [rst]          close (rst: reset) instead of executing\n"
    "  execute-then-drop PATTERN [times=N] [regex] [rst]\n"
    "                                                execute, then close instead of replying\n"
    "  execute-then-answer PATTERN REPLY [times=N] [regex] [raw]\n"
    "                                                execute, then send REPLY instead\n"
    "  split SEGMENTS [GAP_SECONDS]                  write every reply in pieces\n"
    "  coalesce on|off                               replies ready together in one write\n"
    "  clear-rules                                   remove every rule, splitting, coalescing\n"
    "  emergency-stop on|off    safeguard on|off    teach-mode on|off\n"
    "  telemetry normal|silent|closed|refused|garbled|status-only\n"
    "  telemetry-raw BYTES                           send BYTES once to telemetry clients\n"
    "  drop-command-connection [rst]                 close the current command client\n"
    "  command-connections accept|refuse             refuse: the command port refuses\n"
    "  strict-execute on|off                         only $Abort, $GetStatus during $Execute\n"
    "  fail-motion CODE                              end the running motion with CODE\n"
    "  system-error CODE                             set SysErr\n"
    "  status stat|robot_info|ctrl_info VALUE|auto   pin a status word, or compute it again\n"
    "  input BIT on|off                              a simulated input (Sw, In)\n"
    "  output BIT                                    read an output: ok: on / ok: off\n"
    "  tie-input OUTPUT INPUT SECONDS [inverted]     the input follows the output after a delay\n"
    "  clear-input-ties                              remove every tie-input\n"
    "  point NAME X Y Z U V W    joint-point NAME J1..J6    joints J1..J6\n"
    "  log-capacity LINES    clear-log\n"
    "  (times=N: N >= 0 matches, default every one; regex: RE2 syntax, no backreferences or\n"
    "  look-around; fail-motion and drop-command-connection are errors when nothing runs\n"
    "  or is connected)\n";

// Seconds as the whole milliseconds of a delay or time-out, the same for scripts, epson-sim's
// options and Python: to the nearest millisecond, but a positive value never rounds to 0 (which
// means "no limit"). Throws std::invalid_argument "<what> must be a number of seconds between 0
// and a year" for anything else (NaN included).
std::chrono::milliseconds toMilliseconds(double seconds, std::string_view what);

// "normal", "silent", "closed", "refused", "garbled", "status-only"; throws
// std::invalid_argument for another name.
TelemetryMode parseTelemetryMode(std::string_view name);
const char* telemetryModeName(TelemetryMode mode);
// "stat", "robotinfo", "ctrlinfo", read one way wherever a status word is named: case,
// "_" and "-" are ignored ("robot_info" in Python, "robotinfo" in scripts). Throws
// std::invalid_argument for another name.
StatusWord parseStatusWord(std::string_view name);

// Applies one directive and says what it did: "ok", or "ok: <what>" where that varies (the
// code a failed motion ended with). Throws std::invalid_argument for a line it does not
// understand, std::logic_error for a directive with nothing to act on ("no motion is
// running"), and passes on what the hook throws.
std::string runScriptLine(Simulator& simulator, std::string_view line);
// Applies every line; a failure names its line number ("line 3: ...").
void runScript(Simulator& simulator, std::string_view text);

}  // namespace epson::sim
