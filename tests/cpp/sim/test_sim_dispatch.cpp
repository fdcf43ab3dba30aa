// The Remote Ethernet dispatch without sockets: one line and the controller state in, replies
// and motion changes out, on a clock the test drives. What each command does while an Execute
// runs (lenient and strict), $GetStatus, and $Abort's deceleration to an error reply.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "Controller.hpp"
#include "Dispatch.hpp"

namespace {

using epson::sim::MotionLimits;
using namespace epson::sim::detail;
using namespace std::chrono_literals;

std::string joined(const std::vector<std::string>& replies) {
    std::string text;
    for (const auto& reply : replies) {
        text += (text.empty() ? "" : "|") + reply;
    }
    return text;
}

struct Bench {
    explicit Bench(bool strict) { settings.strictExecute = strict; }

    std::string send(const std::string& line) {
        last = dispatchLine(line, controller, loggedIn, settings, now);
        return joined(last.replies);
    }

    Controller controller{MotionLimits{}, 1.0};
    bool loggedIn = false;
    DispatchSettings settings;
    Clock::time_point now = Clock::time_point{} + 1h;
    Dispatched last;
};

TEST(SimDispatch, WhatPassesWhileAnExecuteRuns) {
    struct Step {
        std::string line;
        std::string lenient;
        std::string strict;
    };
    const std::vector<Step> steps = {
        {"$Execute,\"Print Power\"", "!Execute,21", "!Execute,21"},
        {"$Logout", "!Logout,21", "!Logout,21"},
        {"$GetStatus", "#GetStatus,00100000010,0000", "#GetStatus,00100000010,0000"},
        {"$Pause", "#Pause,0", "!Pause,21"},
        {"$GetStatus", "#GetStatus,00100000110,0000", "#GetStatus,00100000010,0000"},
        {"$Pause", "!Pause,20", "!Pause,21"},
        {"$Continue", "#Continue,0", "!Continue,21"},
        {"$Continue", "!Continue,20", "!Continue,21"},
        {"$Login", "#Login,0", "!Login,21"},
        {"$Abort", "#Abort,0", "#Abort,0"},
    };
    for (const bool strict : {false, true}) {
        Bench bench(strict);
        ASSERT_EQ(bench.send("$Execute,\"Print Power\""), "!Execute,11") << "before a login";
        ASSERT_EQ(bench.send("$Login"), "#Login,0");
        ASSERT_EQ(bench.send("$Execute,\"Motor On\""), "#Execute,0");
        ASSERT_EQ(bench.send("$Execute,\"Go JA(90,0,0,0,-90,0)\""), "");
        ASSERT_EQ(bench.last.motion, MotionChange::Started);
        for (const auto& step : steps) {
            bench.now += 100ms;
            EXPECT_EQ(bench.send(step.line), strict ? step.strict : step.lenient)
                << (strict ? "strict: " : "lenient: ") << step.line;
        }
        EXPECT_EQ(bench.last.motion, MotionChange::Stopping);
    }
}

TEST(SimDispatch, AbortDeceleratesThenAnswersTheExecuteWithAnError) {
    Bench bench(false);
    ASSERT_EQ(bench.send("$Login"), "#Login,0");
    ASSERT_EQ(bench.send("$Execute,\"Motor On\""), "#Execute,0");
    ASSERT_EQ(bench.send("$Execute,\"Speed 50\""), "#Execute,0");
    ASSERT_EQ(bench.send("$Execute,\"Accel 100, 100\""), "#Execute,0");
    ASSERT_EQ(bench.send("$Execute,\"Go JA(90,0,0,0,-90,0)\""), "");
    const Clock::time_point started = bench.now;
    bench.now += 200ms;  // cruising: 150 deg/s, reached after 0.1 s at 1500 deg/s^2
    const double atAbort = bench.controller.joints(bench.now)[0];
    ASSERT_EQ(bench.send("$Abort"), "#Abort,0");
    EXPECT_TRUE(bench.controller.stopping());
    EXPECT_FALSE(bench.controller.completeMotion(bench.now)) << "it ramps down first";

    const Clock::time_point end = bench.controller.motionEnd();
    const double ramp = std::chrono::duration<double>(end - bench.now).count();
    EXPECT_NEAR(ramp, 0.1, 0.002) << "150 deg/s down at 1500 deg/s^2";
    const auto outcome = bench.controller.completeMotion(end);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(motionReply(*outcome), "!Execute,99");
    const double stoppedAt = bench.controller.joints(end)[0];
    EXPECT_NEAR(stoppedAt - atAbort, 7.5, 0.1) << "it coasted to a stop";
    EXPECT_LT(stoppedAt, 90.0);
    EXPECT_FALSE(bench.controller.moving());
    EXPECT_GT(end - started, 200ms);

    // A paused motion stops where it stands.
    bench.now = end + 1s;
    ASSERT_EQ(bench.send("$Execute,\"Go JA(0,0,0,0,-90,0)\""), "");
    bench.now += 300ms;
    ASSERT_EQ(bench.send("$Pause"), "#Pause,0");
    const double held = bench.controller.joints(bench.now)[0];
    bench.now += 1s;
    ASSERT_EQ(bench.send("$Abort"), "#Abort,0");
    const auto paused = bench.controller.completeMotion(bench.now);
    ASSERT_TRUE(paused.has_value());
    EXPECT_EQ(paused->code, 99);
    EXPECT_DOUBLE_EQ(bench.controller.joints(bench.now)[0], held);
    EXPECT_EQ(bench.send("$Abort"), "#Abort,0") << "nothing runs: accepted all the same";
}

// Every stop command in every motion state: one reply, and the $Execute answers when the arm
// stands: at once where it stands already, at the end of a ramp, never while it stands paused.
// An abort while a ramp stood paused once left the motion paused for good.
TEST(SimDispatch, AbortPauseAndContinueInEveryMotionState) {
    enum class End { AtOnce, Ramp, Runs, Stays };
    struct State {
        const char* name;
        void (*reach)(Bench&);
    };
    const auto abortRamp = [](Bench& b) {
        ASSERT_EQ(b.send("$Abort"), "#Abort,0");
        b.now += 30ms;
    };
    const auto tillRamp = [](Bench& b) {
        b.controller.inputs.set(1, true);
        ASSERT_TRUE(b.controller.checkConditions(b.now));
        b.now += 30ms;
    };
    const auto pauseHere = [](Bench& b) {
        ASSERT_EQ(b.send("$Pause"), "#Pause,0");
        b.now += 500ms;
    };
    const std::vector<State> states = {
        {"running", [](Bench&) {}},
        {"paused", +pauseHere},
        {"ramping after an abort", +abortRamp},
        {"ramping after a Till", +tillRamp},
        {"paused while ramping after an abort",
         [](Bench& b) {
             ASSERT_EQ(b.send("$Abort"), "#Abort,0");
             b.now += 30ms;
             ASSERT_EQ(b.send("$Pause"), "#Pause,0");
             b.now += 500ms;
         }},
        {"paused while ramping after a Till",
         [](Bench& b) {
             b.controller.inputs.set(1, true);
             ASSERT_TRUE(b.controller.checkConditions(b.now));
             b.now += 30ms;
             ASSERT_EQ(b.send("$Pause"), "#Pause,0");
             b.now += 500ms;
         }},
    };
    struct Cell {
        std::string reply;
        End end;
        int code;  // the $Execute's, once it ends
    };
    // Rows follow the states above; columns are $Abort, $Pause, $Continue.
    const std::vector<std::array<Cell, 3>> grid = {
        {{{"#Abort,0", End::Ramp, 99},
          {"#Pause,0", End::Stays, 0},
          {"!Continue,20", End::Runs, 0}}},
        {{{"#Abort,0", End::AtOnce, 99},
          {"!Pause,20", End::Stays, 0},
          {"#Continue,0", End::Runs, 0}}},
        {{{"#Abort,0", End::Ramp, 99},
          {"#Pause,0", End::Stays, 0},
          {"!Continue,20", End::Ramp, 99}}},
        {{{"#Abort,0", End::Ramp, 99},
          {"#Pause,0", End::Stays, 0},
          {"!Continue,20", End::Ramp, 0}}},
        {{{"#Abort,0", End::AtOnce, 99},
          {"!Pause,20", End::Stays, 0},
          {"#Continue,0", End::Ramp, 99}}},
        {{{"#Abort,0", End::AtOnce, 99},
          {"!Pause,20", End::Stays, 0},
          {"#Continue,0", End::Ramp, 0}}},
    };
    const char* commands[] = {"$Abort", "$Pause", "$Continue"};
    for (std::size_t row = 0; row < states.size(); ++row) {
        for (std::size_t column = 0; column < 3; ++column) {
            const Cell& cell = grid[row][column];
            const std::string where = std::string(commands[column]) + " " + states[row].name;
            Bench bench(false);
            ASSERT_EQ(bench.send("$Login"), "#Login,0");
            ASSERT_EQ(bench.send("$Execute,\"Motor On\""), "#Execute,0");
            ASSERT_EQ(bench.send("$Execute,\"Speed 50\""), "#Execute,0");
            ASSERT_EQ(bench.send("$Execute,\"Accel 100, 100\""), "#Execute,0");
            ASSERT_EQ(bench.send("$Execute,\"Go JA(90,0,0,0,-90,0) Till Sw(1)\""), "");
            bench.now += 200ms;  // cruising
            states[row].reach(bench);
            ASSERT_TRUE(bench.controller.moving()) << where;

            EXPECT_EQ(bench.send(commands[column]), cell.reply) << where;
            auto& c = bench.controller;
            if (cell.end == End::Stays) {
                EXPECT_TRUE(c.paused()) << where;
                EXPECT_FALSE(c.completeMotion(bench.now + 1min)) << where << ": answered paused";
                EXPECT_EQ(c.joints(bench.now), c.joints(bench.now + 1min)) << where;
                continue;
            }
            EXPECT_FALSE(c.paused()) << where;
            const Clock::time_point end = c.motionEnd();
            EXPECT_EQ(end <= bench.now, cell.end == End::AtOnce) << where;
            if (cell.end != End::AtOnce) {
                EXPECT_FALSE(c.completeMotion(end - 1ms)) << where << ": answered before the end";
                EXPECT_NE(c.joints(end - 5ms)[0], c.joints(end)[0]) << where << ": stood early";
            }
            const auto outcome = c.completeMotion(std::max(end, bench.now));
            ASSERT_TRUE(outcome.has_value()) << where << ": no answer once the arm stands";
            EXPECT_EQ(outcome->code, cell.code) << where;
            const double stoodAt = c.joints(end)[0];
            EXPECT_EQ(stoodAt == 90.0, cell.end == End::Runs) << where << ": stood at " << stoodAt;
        }
    }
}

TEST(SimDispatch, GetStatusFlags) {
    struct Case {
        const char* state;
        void (*apply)(Controller&);
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"idle", [](Controller&) {}, "#GetStatus,00100000001,0000"},
        {"teach mode", [](Controller& c) { c.teachMode = true; }, "#GetStatus,01000000001,0000"},
        {"safeguard open", [](Controller& c) { c.safeguardOpen = true; },
         "#GetStatus,00100100001,0000"},
        {"emergency stop", [](Controller& c) { c.setEmergencyStop(true); },
         "#GetStatus,00100011000,0001"},
        {"an error", [](Controller& c) { c.systemError = 4021; }, "#GetStatus,00100001000,4021"},
    };
    for (const auto& c : cases) {
        Bench bench(false);
        ASSERT_EQ(bench.send("$Login"), "#Login,0");
        c.apply(bench.controller);
        EXPECT_EQ(bench.send("$GetStatus"), c.expected) << c.state;
    }
}

}  // namespace

namespace {

// Hostile values at the dispatch: each line's reply, and afterwards every joint finite. Each row
// was answered wrongly once (NaN joints, stack bytes after a quote, a name stored two ways).
TEST(SimDispatch, HostileValuesAreRefusedOrStayFinite) {
    struct Row {
        std::string statement;
        std::string reply;
    };
    const std::vector<Row> rows = {
        {"Go Here Till 1", ""},  // a zero-length motion stopped by Till: its end below
        {"Print TillOn", "#Execute,\"1\""},
        {"Print Agl(1), Agl(6)", "#Execute,\"0,0\""},
        {"Print 1e60", "!Execute,15"},
        {"Print 1e9, -1e9", "#Execute,\"1000000000,-1000000000\""},
        {"TLSet 1, XY(0, 0, 1000001, 0, 0, 0)", "!Execute,15"},
        {"XYLim -1e7, 1, -1, 1, -1, 1", "!Execute,15"},
        {"Print CX(XY(9e8, 0, 0, 0, 0, 0) +X(9e8))", "!Execute,15"},
        {"P007 = XY(300, 0, 400, 0, 0, 180)", "#Execute,0"},
        {"Print CX(P7), CX(P(7)), CX(P0007)", "#Execute,\"300,300,300\""},
        {"P1234567 = Here", "!Execute,15"},
    };
    Bench bench(false);
    bench.send("$Login");
    bench.send("$Execute,\"Motor On\"");
    bench.controller.setJoints({0, 0, 0, 0, 0, 0});
    for (const auto& row : rows) {
        EXPECT_EQ(bench.send("$Execute,\"" + row.statement + "\""), row.reply) << row.statement;
        if (const auto outcome = bench.controller.completeMotion(bench.now)) {
            EXPECT_EQ(motionReply(*outcome), "#Execute,0");
        }
        for (const double j : bench.controller.joints(bench.now)) {
            ASSERT_TRUE(std::isfinite(j)) << "after " << row.statement;
        }
    }
    EXPECT_EQ(bench.send("$Fo\x01o"), "!Fo?o,11") << "an echoed name stays printable";
    EXPECT_EQ(bench.send(std::string("$") + std::string(100, 'N')),
              "!" + std::string(64, 'N') + ",11");
}

}  // namespace
