#pragma once

// A stateful stand-in for an Epson six-axis controller: the Remote Ethernet command port and
// the telemetry lines of a Background Task, served on one Boost.Asio thread.
//
// Command connection (one client at a time; while one is connected a second connection is
// accepted and closed at once without a byte sent; a client that has not logged in within
// SimulatorOptions::loginTimeout, or neither sent anything nor waited for a reply for
// idleTimeout, is closed; one that takes no reply within writeTimeout is reset):
//   "$Login,<password>"  -> "#Login,0"   (any password when none is configured; "$Login" alone
//                                          is an empty password)
//   "$Logout"            -> "#Logout,0"
//   "$Execute,\"<statement>\"" -> "#Execute,0", or "#Execute,\"<printed text>\"" for Print
//   "$Pause", "$Continue" -> "#Pause,0", "#Continue,0"; refused with 20 when no motion runs
//                            (Pause) or none is paused (Continue)
//   "$Abort"             -> "#Abort,0" (also when nothing runs)
//   "$GetStatus"         -> "#GetStatus,<11 flags>,<4-digit error>": Test, Teach, Auto,
//                           Warning, SError, Safeguard, EStop, Error, Paused, Running, Ready
// Errors answer "!<Command>,<code>", <Command> being the text after "$" up to the first comma
// as the client spelt it (for a line without "$": the text up to the first comma, so an empty
// line answers "!,10"). The codes are those in namespace reply_code below.
//
// While a motion's $Execute is outstanding, $Abort, $GetStatus, $Pause and $Continue are
// answered at once, and a new client may log in; every other command answers error 21
// (nothing is queued). With strictExecute only $Abort and $GetStatus pass, as on controller
// generations that accept nothing else during an Execute. The motion's own reply comes when it
// ends: "#Execute,0", "!Execute,99" when an emergency stop or $Abort ended it. A motion whose
// client disconnects runs to its end; its reply is dropped. $Pause halts the arm at once (no
// deceleration ramp), also on a ramp down, and $Continue resumes the remaining profile or ramp;
// $Abort decelerates the arm to a stop on the motion's own deceleration, ends a paused motion
// (a paused ramp included) at once, and lets a ramp already running (after an abort or a Till)
// reach its stop; the $Execute answers once the arm stands, with 99.
//
// The controller state (motors, Tools, settings, points, joints) belongs to the simulator, not
// to a connection: it outlives clients and restarts. Only the login is per connection.
//
// Print output: values joined by commas without blanks; integers plainly; reals in fixed
// notation with at most six decimals, trailing zeros and a trailing point trimmed ("-0" reads
// "0"); Booleans (EStopOn, SafetyOn, TeachOn, TLDef, Motor, PosFound) as "True" / "False";
// TillOn as 1 or 0.
//
// Numbers: a number in a statement beyond +-1e9, and a point, Tool or XYLim coordinate beyond
// +-1e6, are refused with 15 where they are given; so every number the simulator prints is
// finite and short, and motion planning refuses (15) a motion whose joints would not be.
//
// Statements: the SPEL+ subset listed in src/Spel.hpp (Print, Motor, Reset, Power, TLSet,
// TLClr, Tool, Speed, Accel, SpeedS, AccelS, XYLimMode, XYLim, Till, Find, P<n> = <point>,
// Go, Move with Till and Find over the simulated inputs of setInput). Poses are
// [X, Y, Z, U, V, W] in mm and degrees with R = Rz(U) * Ry(V) * Rx(W) (see RobotModel.hpp);
// Here and the telemetry pose are the TCP of the selected Tool. Inverse kinematics (Go, Move,
// PAgl): with LJM (the modifier or LJM(...)) the least joint motion from the reference, or
// from the current joints when there is none; without it the configuration of the point's
// flags, or else the current one, nearest the current joints (another configuration only: 15).
// Motors must be on to move; with XYLimMode 1 and a non-zero box, a target whose TCP lies
// outside the box is refused (the path is not checked). Reset clears SysErr and restores
// Power Low and the default Speed, Accel, SpeedS and AccelS, as Motor On does. Power has no
// effect on motion speed.
//
// Telemetry: every period each client gets "X=..;Y=..;Z=..;U=..;V=..;W=..;J1agl=..;...;
// J6agl=..\r" (numbers as in Print) and, after every tenth sample, also
// "STAT=..;SYSERR=..;CTRLDEV=..;ROBOTINFO=..;CTRLINFO=..\r", in the same write. Up to 64
// telemetry clients; more are accepted and closed at once.
//
// Bounds and the control channel: see SimulatorOptions and sim/README.md.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "epson_sim/RobotModel.hpp"

namespace epson::sim {

// Error codes of "!<Command>,<code>" replies: the Remote Ethernet error table, and what the
// simulator answers with each.
namespace reply_code {
inline constexpr int kNoDollar = 10;          // "Remote command does not begin with $"
inline constexpr int kUnknownCommand = 11;    // "Remote command is wrong, or was sent before a
                                              // login": unknown command; any but $Login before one
inline constexpr int kBadFormat = 12;         // "Remote command format is wrong": $Execute without
                                              // one double-quoted statement; parameters on a
                                              // command that takes none
inline constexpr int kWrongPassword = 13;     // "Login command password is wrong"
inline constexpr int kParameterCount = 14;    // "Number of specified parameters is excessive or not
                                              // enough": a statement inside $Execute that is not
                                              // understood (unknown statement or function,
                                              // syntax, argument count, nesting too deep,
                                              // undefined Tool or point name)
inline constexpr int kOutOfRange = 15;        // "Parameter value is out of range": Tool, joint or
                                              // index numbers, Speed/Accel/SpeedS/AccelS values,
                                              // XYLim order, joint limits, unreachable targets or
                                              // configurations, targets outside the XYLim box
inline constexpr int kTimeOut = 19;           // "Request time out": never sent by the simulator
                                              // itself; a rule can answer it
inline constexpr int kNotReady = 20;          // "Controller is not ready": motion with the motors
                                              // off; Motor On during an emergency stop or with an
                                              // error pending; Reset during an emergency stop;
                                              // $Pause with no motion, $Continue with none paused
inline constexpr int kAlreadyExecuting = 21;  // "Cannot execute since Execute is running"
inline constexpr int kSystemError = 99;       // "System error or communication error": a motion
                                              // ended by an emergency stop or by $Abort; an
                                              // internal failure of the simulator
// The documentation gives no code of its own for an $Execute that $Abort ended.
inline constexpr int kAborted = kSystemError;
}  // namespace reply_code

// SysErr after an emergency stop, until Reset.
inline constexpr int kEmergencyStopError = 1;

// Status words of the simulator (Print Stat(0), RobotInfo(0), CtrlInfo(1) and the telemetry
// status packet carry the same values).
namespace status_bit {
// Stat(0)
inline constexpr int kStatExecuting = 0;       // a motion statement runs
inline constexpr int kStatPaused = 16;         // that motion is paused
inline constexpr int kStatError = 17;          // SysErr is not 0
inline constexpr int kStatTeachMode = 19;      // teach mode (0 unless set by a test hook)
inline constexpr int kStatEmergencyStop = 20;  // emergency stop on
inline constexpr int kStatSafeguardOpen = 21;  // safeguard open
// RobotInfo(0)
inline constexpr int kRobotError = 0;  // SysErr is not 0
inline constexpr int kRobotMotorsOn = 2;
inline constexpr int kRobotPowerHigh = 3;
inline constexpr int kRobotMoving = 4;
// CtrlInfo(1)
inline constexpr int kCtrlEmergencyStop = 8;
inline constexpr int kCtrlSafeguardOpen = 9;
}  // namespace status_bit

// CtrlDev: the Remote Ethernet control device.
inline constexpr int kControlDevice = 26;

// Limits that shape the trapezoidal motion profiles. A PTP motion (Go) moves every joint on
// one normalised profile; each joint i may use jointSpeed[i] * Speed / 100 and
// jointAccel[i] * Accel / 100 (deceleration likewise), and the most constrained joint sets the
// duration. A straight-line motion (Move) runs on SpeedS / AccelS along the TCP path and on
// rotationSpeed / rotationAccel for the change of orientation, whichever is slower.
struct MotionLimits {
    Joints jointSpeed{300.0, 300.0, 360.0, 450.0, 450.0, 720.0};        // deg/s at Speed 100
    Joints jointAccel{1500.0, 1500.0, 1800.0, 2400.0, 2400.0, 3600.0};  // deg/s^2 at Accel 100
    double rotationSpeed = 180.0;                                       // deg/s
    double rotationAccel = 720.0;                                       // deg/s^2
    double maxSpeedS = 2000.0;   // mm/s, the largest SpeedS accepted
    double maxAccelS = 25000.0;  // mm/s^2, the largest AccelS accepted
    int accelMax = 120;          // AccelMax(1) and AccelMax(2): the largest Accel accepted
    double minSpeedS = 1.0;      // mm/s, the smallest SpeedS accepted
    double minAccelS = 1.0;      // mm/s^2, the smallest AccelS accepted
};

// Every option is checked by the Simulator's constructor (std::invalid_argument outside the
// ranges named here).
struct SimulatorOptions {
    std::string host = "127.0.0.1";    // address (or name) the command and telemetry ports bind
    std::uint16_t commandPort = 5000;  // 0: an ephemeral port, see commandPort()
    std::uint16_t telemetryPort = 2000;
    std::optional<std::string> password;  // empty optional: any password logs in
    double timeScale = 1.0;               // wall seconds per simulated second, 0.0001..10000
    double telemetryRateHz = 100.0;       // sample packets per second to each client, 0.1..10000
    MotionLimits limits;
    bool strictExecute = false;  // only $Abort and $GetStatus while an $Execute runs
    // A command client that has not logged in by then (since it connected or logged out) is
    // closed (0: never; at most a year, as the other time-outs).
    std::chrono::milliseconds loginTimeout{10000};
    // A command client that neither sends nor waits for a reply for this long is closed (0:
    // never). One waiting for its own $Execute, or for a delayed reply, is not idle.
    std::chrono::milliseconds idleTimeout{0};
    // A client of any port (command, control, telemetry) that does not take a reply, answer
    // or packet within this long is dropped (0: never): one that never reads cannot keep its
    // slot.
    std::chrono::milliseconds writeTimeout{10000};
    // Reply bytes (queued or delayed) a command client may leave unread before it is dropped,
    // 64 KiB..1 GiB. A client that reads is never dropped: above 64 KiB of waiting replies
    // the simulator stops reading its commands until they drain.
    std::size_t maxReplyBacklog = 1 << 20;
    std::size_t logCapacity = 10000;  // command log lines kept (the newest), 1..10^7
    std::size_t logBytes = 4 << 20;   // and at most this many bytes of them, 64 KiB..1 GiB
    // The control channel (fault directives, see Script.hpp): off when empty; 0: a free port.
    // It listens on controlHost, loopback unless said otherwise: whoever reaches it can inject
    // any fault and move the arm.
    std::optional<std::uint16_t> controlPort;
    std::string controlHost = "127.0.0.1";
    // A control client that sends nothing for this long is closed (0: never).
    std::chrono::milliseconds controlIdleTimeout{60000};
};

enum class TelemetryMode {
    Normal,      // a sample packet per period, a status packet after every tenth
    Silent,      // clients stay connected (and new ones are accepted) but nothing is sent
    Closed,      // connected clients are closed; new connections are accepted and closed at once
    Refused,     // connected clients are closed and the listener is closed: connects are refused
    Garbled,     // packets keep their keys but every value is non-numeric text
    StatusOnly,  // a status packet every period and no samples
};

// The status words a test can pin to a value of its own.
enum class StatusWord { Stat, RobotInfo, CtrlInfo };

enum class MatchMode {
    Substring,  // the pattern occurs in the command line (the empty pattern matches all)
    Regex,      // RE2 syntax, matched anywhere in the line, in time linear in the line
};

enum class MotionKind { Go, Move };

// The most recent motion statement that started, with its modifiers as understood.
struct MotionRecord {
    MotionKind kind = MotionKind::Go;
    std::string statement;  // as received inside $Execute
    Joints start{};
    Joints target{};
    double durationSeconds = 0.0;  // profile duration in simulated seconds
    bool cp = false;
    bool ljm = false;
    std::optional<int> orientationFlag;  // LJM's, see LjmOrientation
    bool rot = false;                    // accepted, no effect
    bool ecp = false;                    // accepted, no effect
    bool sync = false;                   // accepted, no effect
    std::string searchClause;            // "Till ..." and/or "Find ..." as written
    std::string parallelStatements;      // text between "!" and "!": accepted, not executed
};

// A copy of the controller state at one instant (joints and pose of the moving state).
struct ControllerSnapshot {
    Joints joints{};
    Pose pose{};  // TCP of the selected Tool
    bool motorsOn = false;
    int power = 0;  // 0 Low, 1 High
    int tool = 0;
    std::array<std::optional<Pose>, 16> tools{};  // definitions of slots 1..15 (0 unused)
    bool emergencyStop = false;
    bool safeguardOpen = false;
    bool teachMode = false;
    int systemError = 0;
    bool moving = false;
    bool paused = false;
    int speed = 0;
    int accel = 0;
    int decel = 0;
    double speedS = 0.0;
    double accelS = 0.0;
    double decelS = 0.0;
    int xyLimMode = 0;
    std::array<double, 6> xyLim{};  // x1, x2, y1, y2, z1, z2; all 0: no box
    bool loggedIn = false;          // the current command connection has logged in
};

class Simulator {
  public:
    explicit Simulator(SimulatorOptions options = {});
    ~Simulator();  // stops
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Binds the listeners and starts the I/O thread. Throws std::runtime_error when a port
    // cannot be bound, std::logic_error when already running. A stopped simulator can start
    // again on the same ports (those of the first start when 0 was asked for), as a rebooted
    // controller would; the controller state is kept.
    void start();
    // Closes every connection and listener and joins the I/O thread; a running motion halts
    // where it is and is never answered. Idempotent.
    void stop();
    bool running() const;
    // The bound ports (the ephemeral ones when 0 was asked for); 0 before the first start.
    std::uint16_t commandPort() const;
    std::uint16_t telemetryPort() const;
    std::uint16_t controlPort() const;  // 0 without a control channel
    // The addresses the ports are bound to, as text ("127.0.0.1", "::1", "0.0.0.0"): what a
    // host name or "0" became. Empty before the first start, and without a control channel.
    std::string commandAddress() const;
    std::string telemetryAddress() const;
    std::string controlAddress() const;
    const SimulatorOptions& options() const;

    // ---- Command log: every received command line, exactly, without its CR LF; the newest
    // logCapacity lines, and of them at most logBytes bytes, are kept. ----
    std::vector<std::string> commandLog() const;
    void clearLog();
    // Throws std::invalid_argument for 0.
    void setLogCapacity(std::size_t lines);
    std::size_t logCapacity() const;
    // The first line at log index >= from (counting from the last clear, lines that fell out
    // of the log included) that matches, waiting up to the timeout for it. Throws
    // std::invalid_argument for a bad regular expression.
    std::optional<std::string> waitForCommand(const std::string& pattern,
                                              std::chrono::milliseconds timeout,
                                              MatchMode mode = MatchMode::Substring,
                                              std::size_t from = 0) const;

    // ---- Reply rules. The first rule whose pattern matches a command line applies; a rule
    // with times applies that many times and is then spent, and leaves the list; without,
    // every time. Each throws std::invalid_argument for a negative times, a bad regular
    // expression or a delay beyond a year, and std::length_error while 1000 rules are live.
    // ----
    // Executes the command at once but sends its reply (a motion's: after the motion) later.
    void delayReply(const std::string& pattern, std::chrono::milliseconds delay,
                    MatchMode mode = MatchMode::Substring, std::optional<int> times = {});
    // Answers without executing. The reply's lines ("\n"-separated) each get CR LF, all in
    // one write; raw sends the bytes exactly as given.
    void answer(const std::string& pattern, const std::string& reply,
                MatchMode mode = MatchMode::Substring, std::optional<int> times = {},
                bool raw = false);
    // Neither executes nor answers.
    void goSilent(const std::string& pattern, MatchMode mode = MatchMode::Substring,
                  std::optional<int> times = {});
    // Closes the command connection instead of executing and answering; abortive: resets it
    // (RST) instead.
    void dropConnection(const std::string& pattern, MatchMode mode = MatchMode::Substring,
                        std::optional<int> times = {}, bool abortive = false);
    // Executes the command, then closes (abortive: resets) the connection instead of replying
    // (a motion: when it ends).
    void executeThenDrop(const std::string& pattern, MatchMode mode = MatchMode::Substring,
                         std::optional<int> times = {}, bool abortive = false);
    // Executes the command, then sends reply (as answer() shapes it) instead of its own.
    void executeThenAnswer(const std::string& pattern, const std::string& reply,
                           MatchMode mode = MatchMode::Substring, std::optional<int> times = {},
                           bool raw = false);
    // Every reply is written in this many TCP segments (1: whole), with the gap between them.
    void splitReplies(int segments, std::chrono::milliseconds gap);
    // Replies that are ready together (commands that arrived together, a motion's end and a
    // control reply) go out in one write instead of one write each.
    void coalesceReplies(bool on);
    // Removes every rule and resets splitting and coalescing.
    void clearRules();

    // ---- Controller hooks. ----
    // On: aborts a running motion ("!Execute,99"), switches the motors off and sets SysErr to
    // kEmergencyStopError. Off: releases the stop; SysErr stays until Reset.
    void setEmergencyStop(bool on);
    void setSafeguardOpen(bool open);
    void setTeachMode(bool on);
    void setTelemetryMode(TelemetryMode mode);
    TelemetryMode telemetryMode() const;
    // Closes the current command connection, as a controller that goes away would; abortive:
    // with a reset (RST). False when no client was connected.
    bool dropCommandConnection(bool abortive = false);
    // Refused: the command listener closes, so connects are refused; the current client stays.
    void setCommandConnectionsRefused(bool refused);
    void setStrictExecute(bool on);
    // Ends a running motion at once with "!<Command>,<code>" (0: "#<Command>,0"). False when
    // no motion runs. Throws std::out_of_range outside 0..9999.
    bool failMotion(int code);
    // Throws std::out_of_range outside 0..9999 (the four digits of $GetStatus).
    void setSystemError(int code);
    // Pins a status word (Print and telemetry) to a value; empty: computed again.
    void setStatusOverride(StatusWord word, std::optional<std::int64_t> value);
    // Simulated input bits (Sw(bit), In(bit / 8)) that Till and Find conditions read. Throws
    // std::out_of_range outside 0..511.
    void setInput(int bit, bool on);
    bool input(int bit) const;
    // Simulated output bits 0..511, set by the SPEL+ On and Off statements. Throws
    // std::out_of_range outside 0..511.
    bool output(int bit) const;
    // Ties input @p inputBit to output @p outputBit: @p delay after the output changes, the
    // input takes its value (the opposite one when @p inverted), as a gripper's sensor does.
    // A later change of the output replaces one still pending. Replaces a tie of the same two
    // bits. Throws std::out_of_range for a bit outside 0..511, std::invalid_argument for a
    // delay outside 0..60 s or a 65th tie.
    void tieInput(int outputBit, int inputBit, std::chrono::milliseconds delay,
                  bool inverted = false);
    void clearInputTies();
    // These bytes exactly, once, to every telemetry client (split samples, lines without CR,
    // oversize lines...).
    void sendTelemetryRaw(const std::string& bytes);
    // Defines or replaces a named point, a TCP pose. Names are stored as the statements spell
    // them: P1, P01 and P(1) are one point (P0..P999); other identifiers ignore case. Throws
    // std::invalid_argument for another name or a value not finite or beyond +-1e6, and
    // std::length_error for a new point while 1000 are stored (the point memory is full).
    void setPoint(const std::string& name, const Pose& pose);
    // The same, as joint angles (a JA point).
    void setJointPoint(const std::string& name, const Joints& joints);
    // Places the arm. Throws std::logic_error while a motion runs, std::out_of_range outside
    // the joint limits (a value that is not finite included).
    void setJoints(const Joints& joints);

    // ---- State accessors. ----
    ControllerSnapshot snapshot() const;
    // Single fields, without the kinematics of a whole snapshot.
    Joints joints() const;
    Pose pose() const;
    bool motorsOn() const;
    int power() const;
    int tool() const;
    // Throws std::out_of_range outside 1..15.
    std::optional<Pose> toolDefinition(int tool) const;
    bool emergencyStop() const;
    int systemError() const;
    bool moving() const;
    bool paused() const;
    bool loggedIn() const;
    std::optional<MotionRecord> lastMotion() const;
    // The most recent error reply's command line and why it was refused (empty: none yet).
    std::string lastRefusal() const;
    std::size_t telemetryClientCount() const;
    // Complete sample lines written to telemetry clients since construction (each client
    // counts; a sample a slow client skipped does not).
    std::uint64_t telemetrySamplesSent() const;
    bool commandClientConnected() const;
    // Connections refused because another command client was connected.
    std::size_t refusedCommandConnections() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace epson::sim
