// Python module _cell_simulator: the Epson controller simulator for tests and demos.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

#include "epson_sim/RobotModel.hpp"
#include "epson_sim/Script.hpp"
#include "epson_sim/Simulator.hpp"

namespace py = pybind11;
using epson::sim::ControllerSnapshot;
using epson::sim::MatchMode;
using epson::sim::MotionKind;
using epson::sim::MotionRecord;
using epson::sim::parseTelemetryMode;
using epson::sim::Simulator;
using epson::sim::SimulatorOptions;
using epson::sim::StatusWord;
using epson::sim::TelemetryMode;
using epson::sim::telemetryModeName;
using epson::sim::toMilliseconds;

namespace {

using Release = py::call_guard<py::gil_scoped_release>;

// Counts are ints in Python: a negative one is a ValueError here as in C++ and the rules file,
// not a TypeError of the conversion.
std::size_t lineCount(long long lines) {
    if (lines < 1) {
        throw std::invalid_argument(
            "the command log capacity must be between 1 and 10000000 lines");
    }
    return static_cast<std::size_t>(lines);
}

MatchMode matchMode(bool regex) {
    return regex ? MatchMode::Regex : MatchMode::Substring;
}
// None: every match; a negative count is a ValueError from the rule itself.
std::optional<int> timesOf(const std::optional<int>& times) {
    return times;
}

py::dict snapshotDict(const ControllerSnapshot& s) {
    py::dict d;
    d["joints"] = s.joints;
    d["pose"] = s.pose;
    d["motors_on"] = s.motorsOn;
    d["power"] = s.power;
    d["tool"] = s.tool;
    py::dict tools;
    for (std::size_t n = 1; n < s.tools.size(); ++n) {
        if (s.tools[n]) {
            tools[py::int_(n)] = *s.tools[n];
        }
    }
    d["tools"] = tools;
    d["emergency_stop"] = s.emergencyStop;
    d["safeguard_open"] = s.safeguardOpen;
    d["teach_mode"] = s.teachMode;
    d["system_error"] = s.systemError;
    d["moving"] = s.moving;
    d["paused"] = s.paused;
    d["speed"] = s.speed;
    d["accel"] = py::make_tuple(s.accel, s.decel);
    d["speeds"] = s.speedS;
    d["accels"] = py::make_tuple(s.accelS, s.decelS);
    d["xylim_mode"] = s.xyLimMode;
    d["xylim"] = s.xyLim;
    d["logged_in"] = s.loggedIn;
    return d;
}

py::object motionDict(const std::optional<MotionRecord>& record) {
    if (!record) {
        return py::none();
    }
    py::dict d;
    d["kind"] = record->kind == MotionKind::Go ? "Go" : "Move";
    d["statement"] = record->statement;
    d["start"] = record->start;
    d["target"] = record->target;
    d["duration"] = record->durationSeconds;
    d["cp"] = record->cp;
    d["ljm"] = record->ljm;
    d["orientation_flag"] = record->orientationFlag;
    d["rot"] = record->rot;
    d["ecp"] = record->ecp;
    d["sync"] = record->sync;
    d["search"] = record->searchClause;
    d["parallel"] = record->parallelStatements;
    return d;
}

}  // namespace

PYBIND11_MODULE(_cell_simulator, m, py::multiple_interpreters::not_supported()) {
    m.attr("__version__") = EPSON_VERSION;
    m.doc() =
        "Simulator of an Epson six-axis controller: the Remote Ethernet command port and the "
        "telemetry lines of a Background Task, with hooks for tests.";

    py::dict codes;
    codes["no_dollar"] = epson::sim::reply_code::kNoDollar;
    codes["unknown_command"] = epson::sim::reply_code::kUnknownCommand;
    codes["bad_format"] = epson::sim::reply_code::kBadFormat;
    codes["wrong_password"] = epson::sim::reply_code::kWrongPassword;
    codes["parameter_count"] = epson::sim::reply_code::kParameterCount;
    codes["out_of_range"] = epson::sim::reply_code::kOutOfRange;
    codes["time_out"] = epson::sim::reply_code::kTimeOut;
    codes["not_ready"] = epson::sim::reply_code::kNotReady;
    codes["already_executing"] = epson::sim::reply_code::kAlreadyExecuting;
    codes["system_error"] = epson::sim::reply_code::kSystemError;
    codes["aborted"] = epson::sim::reply_code::kAborted;
    m.attr("REPLY_CODES") = codes;
    m.attr("EMERGENCY_STOP_ERROR") = epson::sim::kEmergencyStopError;

    // The simulated arm's chain as forward kinematics walks it, so that a drawing of the arm
    // follows the simulator without a copy of its dimensions.
    py::list links;
    for (const epson::sim::geometry::Link& link : epson::sim::geometry::kLinks) {
        py::dict d;
        d["axis"] = std::string(1, link.axis);
        d["sign"] = link.sign;
        d["offset"] = link.offset;
        links.append(d);
    }
    py::dict arm;
    arm["links"] = links;
    arm["flange_axes"] = epson::sim::geometry::kFlangeAxes;
    const epson::sim::RobotModel model;
    arm["lower_limits"] = model.lowerLimits();
    arm["upper_limits"] = model.upperLimits();
    m.attr("ARM_GEOMETRY") = arm;

    py::class_<Simulator>(m, "Simulator",
                          "A controller simulator serving one command client, up to 64 telemetry "
                          "clients and, when asked, the control channel on its own I/O thread.")
        .def(py::init([](std::uint16_t command_port, std::uint16_t telemetry_port,
                         std::optional<std::string> password, double time_scale, double rate_hz,
                         std::string host, bool strict_execute, double login_timeout,
                         double idle_timeout, long long log_capacity,
                         std::optional<std::uint16_t> control_port, std::string control_host,
                         double write_timeout) {
                 SimulatorOptions options;
                 options.commandPort = command_port;
                 options.telemetryPort = telemetry_port;
                 options.password = std::move(password);
                 options.timeScale = time_scale;
                 options.telemetryRateHz = rate_hz;
                 options.host = std::move(host);
                 options.strictExecute = strict_execute;
                 options.loginTimeout = toMilliseconds(login_timeout, "login_timeout");
                 options.idleTimeout = toMilliseconds(idle_timeout, "idle_timeout");
                 options.writeTimeout = toMilliseconds(write_timeout, "write_timeout");
                 options.logCapacity = lineCount(log_capacity);
                 options.controlPort = control_port;
                 options.controlHost = std::move(control_host);
                 return std::make_unique<Simulator>(std::move(options));
             }),
             py::arg("command_port") = 0, py::arg("telemetry_port") = 0,
             py::arg("password") = py::none(), py::arg("time_scale") = 1.0,
             py::arg("rate_hz") = 100.0, py::arg("host") = "127.0.0.1",
             py::arg("strict_execute") = false, py::arg("login_timeout") = 10.0,
             py::arg("idle_timeout") = 0.0, py::arg("log_capacity") = 10000,
             py::arg("control_port") = py::none(), py::arg("control_host") = "127.0.0.1",
             py::arg("write_timeout") = 10.0,
             "Creates a stopped simulator. Port 0 picks a free port (see command_port and "
             "telemetry_port after start; a restart keeps them). password None accepts any "
             "login. time_scale is wall seconds per simulated second (0.01 runs motions 100 "
             "times faster). rate_hz is the telemetry sample rate. strict_execute: only $Abort "
             "and $GetStatus while an $Execute runs. A command client that has not logged in "
             "within login_timeout seconds, or neither sent anything nor waited for a reply (its "
             "own motion's included) for idle_timeout seconds, is closed (0: no limit); a "
             "client of any port that takes no reply or packet within write_timeout seconds "
             "is dropped (0: no limit). log_capacity: command log lines kept. control_port: also "
             "serve "
             "the control channel (fault directives, one a line) on this port of control_host "
             "(0: a free one). ValueError for an option out of its range.")
        .def("start", &Simulator::start, Release(),
             "Binds both ports and starts serving. RuntimeError when a port cannot be bound.")
        .def("stop", &Simulator::stop, Release(),
             "Closes every connection and listener and stops the I/O thread; a running motion "
             "halts where it is. Idempotent.")
        .def(
            "__enter__",
            [](Simulator& self) -> Simulator& {
                if (!self.running()) {
                    py::gil_scoped_release release;
                    self.start();
                }
                return self;
            },
            py::return_value_policy::reference, "Starts the simulator unless it runs already.")
        .def(
            "__exit__", [](Simulator& self, const py::args&) { self.stop(); }, Release(),
            "Stops the simulator.")
        .def_property_readonly("running", py::cpp_function([](const Simulator& self) {
                                   py::gil_scoped_release release;
                                   return self.running();
                               }),
                               "Whether the simulator is serving.")
        .def_property_readonly("command_port", &Simulator::commandPort,
                               "The bound Remote Ethernet command port (0 before start).")
        .def_property_readonly("telemetry_port", &Simulator::telemetryPort,
                               "The bound telemetry port (0 before start).")
        .def_property_readonly("control_port", &Simulator::controlPort,
                               "The bound control port (0 before start or without one).")
        .def_property_readonly(
            "time_scale", [](const Simulator& self) { return self.options().timeScale; },
            "Wall seconds per simulated second.")
        .def_property_readonly(
            "rate_hz", [](const Simulator& self) { return self.options().telemetryRateHz; },
            "Telemetry samples per second.")

        .def("command_log", &Simulator::commandLog, Release(),
             "Every command line received so far, exactly, without its CR LF.")
        .def("clear_log", &Simulator::clearLog, Release(), "Empties the command log.")
        .def(
            "set_log_capacity",
            [](Simulator& self, long long lines) { self.setLogCapacity(lineCount(lines)); },
            Release(), py::arg("lines"),
            "Keeps at most this many (the newest) lines in the command log. ValueError below 1.")
        .def("log_capacity", &Simulator::logCapacity, Release(),
             "How many lines the command log keeps.")
        .def(
            "wait_for_command",
            [](const Simulator& self, const std::string& pattern, double timeout, bool regex,
               std::size_t start) {
                return self.waitForCommand(pattern, toMilliseconds(timeout, "timeout"),
                                           matchMode(regex), start);
            },
            Release(), py::arg("pattern"), py::arg("timeout") = 5.0, py::arg("regex") = false,
            py::arg("start") = 0,
            "The first logged line at index >= start (counted since the last clear_log) that "
            "contains pattern (or matches the regular expression, RE2 syntax), waiting up to "
            "timeout seconds; None when none came. ValueError for a bad expression.")

        .def(
            "delay_reply",
            [](Simulator& self, const std::string& pattern, double seconds, bool regex,
               std::optional<int> times) {
                self.delayReply(pattern, toMilliseconds(seconds, "delay"), matchMode(regex),
                                timesOf(times));
            },
            Release(), py::arg("pattern"), py::arg("seconds"), py::arg("regex") = false,
            py::arg("times") = py::none(),
            "Executes matching commands at once but sends their reply seconds later (a "
            "motion's reply: seconds after the motion ends). times None: every match; "
            "ValueError for a negative one. regex: RE2 syntax, as in every rule.")
        .def(
            "answer",
            [](Simulator& self, const std::string& pattern, const std::string& reply, bool regex,
               std::optional<int> times,
               bool raw) { self.answer(pattern, reply, matchMode(regex), timesOf(times), raw); },
            Release(), py::arg("pattern"), py::arg("reply"), py::arg("regex") = false,
            py::arg("times") = py::none(), py::arg("raw") = false,
            "Answers matching commands with reply instead of executing them. Each line of reply "
            "('\\n'-separated) gets CR LF and all go out in one write, so two lines make two "
            "replies in one segment; raw=True sends the bytes exactly as given.")
        .def(
            "go_silent",
            [](Simulator& self, const std::string& pattern, bool regex, std::optional<int> times) {
                self.goSilent(pattern, matchMode(regex), timesOf(times));
            },
            Release(), py::arg("pattern"), py::arg("regex") = false, py::arg("times") = py::none(),
            "Matching commands are neither executed nor answered.")
        .def(
            "drop_connection",
            [](Simulator& self, const std::string& pattern, bool regex, std::optional<int> times,
               bool abortive) {
                self.dropConnection(pattern, matchMode(regex), timesOf(times), abortive);
            },
            Release(), py::arg("pattern"), py::arg("regex") = false, py::arg("times") = py::none(),
            py::arg("abortive") = false,
            "A matching command closes the command connection (abortive=True: resets it) "
            "instead of being answered.")
        .def(
            "execute_then_drop",
            [](Simulator& self, const std::string& pattern, bool regex, std::optional<int> times,
               bool abortive) {
                self.executeThenDrop(pattern, matchMode(regex), timesOf(times), abortive);
            },
            Release(), py::arg("pattern"), py::arg("regex") = false, py::arg("times") = py::none(),
            py::arg("abortive") = false,
            "A matching command is executed, then the connection is closed (abortive=True: "
            "reset) instead of replying; for a motion, when it ends.")
        .def(
            "execute_then_answer",
            [](Simulator& self, const std::string& pattern, const std::string& reply, bool regex,
               std::optional<int> times, bool raw) {
                self.executeThenAnswer(pattern, reply, matchMode(regex), timesOf(times), raw);
            },
            Release(), py::arg("pattern"), py::arg("reply"), py::arg("regex") = false,
            py::arg("times") = py::none(), py::arg("raw") = false,
            "A matching command is executed, then reply (shaped as in answer) goes out instead "
            "of its own reply: a corrupted or wrong reply to a command that took effect.")
        .def(
            "split_replies",
            [](Simulator& self, int segments, double gap) {
                self.splitReplies(segments, toMilliseconds(gap, "gap"));
            },
            Release(), py::arg("segments"), py::arg("gap") = 0.005,
            "Writes every reply in this many TCP segments, gap seconds apart (1: whole).")
        .def("coalesce_replies", &Simulator::coalesceReplies, Release(), py::arg("on") = true,
             "Replies that are ready together (commands sent together, a motion's end and a "
             "control reply) go out in one write.")
        .def("clear_rules", &Simulator::clearRules, Release(),
             "Removes every rule and resets splitting and coalescing.")

        .def("set_emergency_stop", &Simulator::setEmergencyStop, Release(), py::arg("on"),
             "On: ends a running motion at once (its reply is '!Execute,99'), switches the "
             "motors off "
             "and sets SysErr. Off: releases the stop; SysErr stays until Reset.")
        .def("set_safeguard_open", &Simulator::setSafeguardOpen, Release(), py::arg("open"),
             "Opens or closes the safeguard (SafetyOn, CtrlInfo bit 9).")
        .def("set_teach_mode", &Simulator::setTeachMode, Release(), py::arg("on"),
             "Switches teach mode (TeachOn, Stat bit 19).")
        .def(
            "set_telemetry_mode",
            [](Simulator& self, const std::string& mode) {
                self.setTelemetryMode(parseTelemetryMode(mode));
            },
            Release(), py::arg("mode"),
            "'normal'; 'silent' (connected, nothing sent); 'closed' (clients closed, new "
            "connections accepted and closed at once); 'refused' (listener closed: connects "
            "are refused); 'garbled' (every value non-numeric); 'status-only' (a status line "
            "every period, no samples).")
        .def(
            "telemetry_mode",
            [](const Simulator& self) { return telemetryModeName(self.telemetryMode()); },
            Release(), "The current telemetry mode name.")
        .def("drop_command_connection", &Simulator::dropCommandConnection, Release(),
             py::arg("abortive") = false,
             "Closes the current command connection from the controller's side (abortive=True: "
             "with a reset). False when no client was connected.")
        .def("set_command_connections_refused", &Simulator::setCommandConnectionsRefused, Release(),
             py::arg("refused"),
             "True: the command port refuses new connections (the connected client stays).")
        .def("set_strict_execute", &Simulator::setStrictExecute, Release(), py::arg("on"),
             "On: only $Abort and $GetStatus are accepted while an $Execute runs.")
        .def("fail_motion", &Simulator::failMotion, Release(), py::arg("code"),
             "Ends the running motion at once with the error reply '!Execute,<code>' (0: "
             "'#Execute,0'). False when no motion runs. IndexError outside 0..9999.")
        .def("set_system_error", &Simulator::setSystemError, Release(), py::arg("code"),
             "Sets SysErr (0 clears it). IndexError outside 0..9999.")
        .def(
            "set_status_override",
            [](Simulator& self, const std::string& word, std::optional<std::int64_t> value) {
                const StatusWord which = epson::sim::parseStatusWord(word);
                self.setStatusOverride(which, value);
            },
            Release(), py::arg("word"), py::arg("value"),
            "Pins 'stat', 'robot_info' or 'ctrl_info' (Print and telemetry) to value; None "
            "computes it again.")
        .def("set_input", &Simulator::setInput, Release(), py::arg("bit"), py::arg("on"),
             "Sets a simulated input bit 0..511 (Sw(bit), In(bit // 8)); a running motion's "
             "Till or Find condition is checked at once. IndexError outside the range.")
        .def("input", &Simulator::input, Release(), py::arg("bit"), "A simulated input bit.")
        .def("output", &Simulator::output, Release(), py::arg("bit"),
             "A simulated output bit 0..511, as the SPEL+ On and Off statements set it.")
        .def(
            "tie_input",
            [](Simulator& self, int output_bit, int input_bit, double delay, bool inverted) {
                const auto ms = toMilliseconds(delay, "delay");
                py::gil_scoped_release release;
                self.tieInput(output_bit, input_bit, ms, inverted);
            },
            py::arg("output_bit"), py::arg("input_bit"), py::arg("delay") = 0.08,
            py::arg("inverted") = false,
            "Ties input_bit to output_bit: delay seconds after the output changes, the input "
            "takes its value (the opposite one when inverted), as a gripper's sensor does. "
            "IndexError for a bit outside 0..511, ValueError for a delay outside 0..60 s or a "
            "65th tie.")
        .def("clear_input_ties", &Simulator::clearInputTies, Release(),
             "Removes every tie made by tie_input.")
        .def(
            "send_telemetry_raw",
            [](Simulator& self, const py::bytes& data) {
                std::string bytes = data;
                py::gil_scoped_release release;
                self.sendTelemetryRaw(bytes);
            },
            py::arg("data"), "Sends these bytes exactly, once, to every telemetry client.")
        .def(
            "run_script",
            [](Simulator& self, const std::string& text) { epson::sim::runScript(self, text); },
            Release(), py::arg("text"),
            "Applies fault directives, one a line, as epson-sim's --rules file and control "
            "channel take them (see epson-sim --help). ValueError names the failing line.")
        .def("set_point", &Simulator::setPoint, Release(), py::arg("name"), py::arg("pose"),
             "Defines a named point (P1, P(1) or an identifier; P01 is P1, other names ignore "
             "case) as a TCP pose [X, Y, Z, U, V, W]. ValueError for another name, a value "
             "not finite or beyond 1e6, or a new point while 1000 are stored.")
        .def("set_joint_point", &Simulator::setJointPoint, Release(), py::arg("name"),
             py::arg("joints"),
             "Defines a named point (P1, P(1) or an identifier) as six joint angles "
             "(degrees), as JA(...) would. ValueError as for set_point.")
        .def("set_joints", &Simulator::setJoints, Release(), py::arg("joints"),
             "Places the arm at six joint angles (degrees). RuntimeError while a motion runs, "
             "IndexError outside the joint limits.")

        .def(
            "state",
            [](const Simulator& self) {
                ControllerSnapshot s;
                {
                    py::gil_scoped_release release;
                    s = self.snapshot();
                }
                return snapshotDict(s);
            },
            "The whole controller state at one instant, as a dict.")
        .def("joints", &Simulator::joints, Release(),
             "Current joint angles J1..J6 in degrees (moving state).")
        .def("pose", &Simulator::pose, Release(),
             "Current TCP pose [X, Y, Z, U, V, W] of the selected Tool.")
        .def("are_motors_on", &Simulator::motorsOn, Release(), "Whether the motors are on.")
        .def("power", &Simulator::power, Release(), "Power mode: 0 Low, 1 High.")
        .def("tool", &Simulator::tool, Release(), "The selected Tool number.")
        .def("tool_definition", &Simulator::toolDefinition, Release(), py::arg("tool_num"),
             "Tool slot 1..15 as a pose, or None if undefined.")
        .def("is_emergency_stopped", &Simulator::emergencyStop, Release(),
             "Whether the emergency stop is on.")
        .def("system_error", &Simulator::systemError, Release(),
             "SysErr: 0, or the error pending until Reset.")
        .def("is_moving", &Simulator::moving, Release(),
             "Whether a motion statement is executing (paused included).")
        .def("is_paused", &Simulator::paused, Release(), "Whether the running motion is paused.")
        .def("is_logged_in", &Simulator::loggedIn, Release(),
             "Whether the current command connection has logged in.")
        .def(
            "last_motion",
            [](const Simulator& self) {
                std::optional<MotionRecord> record;
                {
                    py::gil_scoped_release release;
                    record = self.lastMotion();
                }
                return motionDict(record);
            },
            "The most recent motion that started (kind, statement, start, target, duration in "
            "simulated seconds and its modifiers), or None.")
        .def("last_refusal", &Simulator::lastRefusal, Release(),
             "The most recent error reply's command line and the reason, for diagnostics.")
        .def("telemetry_client_count", &Simulator::telemetryClientCount, Release(),
             "Connected telemetry clients.")
        .def("telemetry_samples_sent", &Simulator::telemetrySamplesSent, Release(),
             "Complete sample lines written to telemetry clients so far (each client counts).")
        .def("is_command_client_connected", &Simulator::commandClientConnected, Release(),
             "Whether a command client is connected.")
        .def("refused_command_connections", &Simulator::refusedCommandConnections, Release(),
             "Command connections refused because another client was connected.");
}
