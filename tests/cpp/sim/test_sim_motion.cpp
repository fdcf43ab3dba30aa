// The simulator's robot: least-joint-motion selection, motion timing against the trapezoidal
// profile at time scale 1, pause and continue, the emergency stop, motion preconditions, the
// paths of Go and Move, and Tools applied to Here.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "epson_sim/RobotModel.hpp"
#include "epson_sim/Simulator.hpp"
#include "sim_test_client.hpp"

namespace {

using namespace sim_test;
using epson::sim::Joints;
using epson::sim::Pose;
using epson::sim::RobotModel;
using epson::sim::Simulator;

Joints plus(Joints j, const Joints& d) {
    for (std::size_t i = 0; i < j.size(); ++i) {
        j[i] += d[i];
    }
    return j;
}

double angleDifference(double a, double b) {
    return std::remainder(a - b, 360.0);
}

void expectJointsNear(const Joints& actual, const Joints& expected, double tolerance,
                      const std::string& context) {
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_NEAR(actual[i], expected[i], tolerance) << context << ", J" << i + 1;
    }
}

Joints printedJoints(Client& client, const std::string& point) {
    std::string expressions;
    for (int j = 1; j <= 6; ++j) {
        expressions += (j > 1 ? "," : "") + ("PAgl(" + point + "," + std::to_string(j) + ")");
    }
    const auto values = numbers(client.print(expressions));
    Joints joints{};
    if (values.size() == 6) {
        std::copy(values.begin(), values.end(), joints.begin());
    } else {
        ADD_FAILURE() << "PAgl of " << point << " printed " << values.size() << " values";
    }
    return joints;
}

// Duration of a trapezoidal profile over distance d with velocity v, acceleration a and
// deceleration dc, or of the triangle when the ramps alone are longer than d.
double profileSeconds(double d, double v, double a, double dc) {
    const double ramps = v * v / (2 * a) + v * v / (2 * dc);
    if (ramps <= d) {
        return d / v + v / (2 * a) + v / (2 * dc);
    }
    const double peak = std::sqrt(2 * d * a * dc / (a + dc));
    return peak / a + peak / dc;
}

TEST(SimMotion, LjmChoosesTheNearestSolution) {
    // Two wrist configurations of one pose: J4 + 180, -J5, J6 + 180 turn the flange the same.
    const Joints noFlip{0, 10, 20, -150, -40, 50};
    const Joints flip{0, 10, 20, 30, 40, 230};
    const RobotModel model;
    const Pose target = model.forward(noFlip);
    const Pose same = model.forward(flip);
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_NEAR(target[i], same[i], 1e-6) << "precondition: one pose";
        ASSERT_NEAR(angleDifference(target[i + 3], same[i + 3]), 0.0, 1e-6);
    }
    const Joints nudge{3, -2, 2, 5, -4, 6};

    Simulator sim(fastOptions());
    sim.start();
    Client client(sim.commandPort());
    login(client);
    ASSERT_EQ(client.execute("Motor On"), "#Execute,0");

    struct Case {
        const char* how;
        Joints reference;
        Joints expected;
        std::string statement;  // empty: ask PAgl with LJM(..., Here)
        bool explicitReference;
    };
    const std::vector<Case> cases = {
        {"PAgl LJM from AglToPls near the unflipped wrist", plus(noFlip, nudge), noFlip, "", true},
        {"PAgl LJM from AglToPls near the flipped wrist", plus(flip, nudge), flip, "", true},
        {"PAgl LJM from Here near the unflipped wrist", plus(noFlip, nudge), noFlip, "", false},
        {"PAgl LJM from Here near the flipped wrist", plus(flip, nudge), flip, "", false},
        {"Go LJM from near the flipped wrist", plus(flip, nudge), flip, "Go " + xy(target) + " LJM",
         false},
        {"Go LJM from near the unflipped wrist", plus(noFlip, nudge), noFlip,
         "Go " + xy(target) + " LJM", false},
        {"Go without LJM also moves least", plus(flip, nudge), flip, "Go " + xy(target), false},
        {"Move ends on the same branch", plus(flip, nudge), flip, "Move " + xy(target), false},
    };
    for (const auto& c : cases) {
        // The far reference proves that AglToPls, not Here, decides.
        const Joints here =
            c.explicitReference ? (c.expected == flip ? noFlip : flip) : c.reference;
        sim.setJoints(here);
        if (!c.statement.empty()) {
            ASSERT_EQ(client.execute(c.statement), "#Execute,0") << c.how;
            expectJointsNear(sim.snapshot().joints, c.expected, 1e-6, c.how);
            continue;
        }
        const std::string reference = c.explicitReference ? aglToPls(c.reference) : "Here";
        expectJointsNear(printedJoints(client, "LJM(" + xy(target) + "," + reference + ")"),
                         c.expected, 2e-6, c.how);
    }
    sim.setJoints(plus(flip, nudge));
    expectJointsNear(printedJoints(client, xy(target)), flip, 2e-6,
                     "a plain XY point resolves nearest Here");
}

// Real time and the same limits on every joint, so that a motion's duration is easy to compute.
epson::sim::SimulatorOptions realTimeEvenLimits(double timeScale = 1.0) {
    auto options = fastOptions(timeScale);
    options.limits.jointSpeed = {100, 100, 100, 100, 100, 100};
    options.limits.jointAccel = {400, 400, 400, 400, 400, 400};
    return options;
}

TEST(SimMotion, MotionTimingFollowsTheProfile) {
    // Half speed: the timing still spans hundreds of milliseconds of wall time.
    constexpr double kTimeScale = 0.5;
    Simulator sim(realTimeEvenLimits(kTimeScale));
    sim.start();
    Client client(sim.commandPort());
    login(client);
    ASSERT_EQ(client.execute("Motor On"), "#Execute,0");

    struct Case {
        const char* name;
        std::vector<std::string> settings;
        std::string motion;
        double expectedSeconds;
    };
    const std::vector<Case> cases = {
        {"Go, trapezoid",
         {"Speed 50", "Accel 50, 50"},
         "Go AglToPls(30,0,0,0,-90,0)",
         profileSeconds(30, 50, 200, 200)},
        {"Go, triangle with unequal ramps",
         {"Speed 100", "Accel 25, 100"},
         "Go AglToPls(10,0,0,0,-90,0)",
         profileSeconds(10, 100, 100, 400)},
        {"Go, the joint that moves most sets the time",
         {"Speed 50", "Accel 50, 50"},
         "Go AglToPls(10,30,0,0,-90,0)",
         profileSeconds(30, 50, 200, 200)},
        {"Move, straight line on SpeedS and AccelS",
         {"SpeedS 100", "AccelS 400"},
         "Move XY(350,60,535,0,0,180)",
         profileSeconds(60, 100, 400, 400)},
    };
    for (const auto& c : cases) {
        sim.setJoints(kHome);
        ASSERT_NO_FATAL_FAILURE(executeAll(client, c.settings)) << c.name;
        const auto start = Clock::now();
        EXPECT_EQ(client.execute(c.motion, 5s), "#Execute,0") << c.name;
        const double measured = seconds(Clock::now() - start) / kTimeScale;
        EXPECT_NEAR(measured, c.expectedSeconds, 0.1 * c.expectedSeconds) << c.name;
        EXPECT_FALSE(sim.snapshot().moving) << c.name;
    }
}

TEST(SimMotion, PauseHaltsAndContinueResumes) {
    Simulator sim(realTimeEvenLimits());
    sim.start();
    Client client(sim.commandPort());
    login(client);
    ASSERT_NO_FATAL_FAILURE(executeAll(client, {"Motor On", "Speed 50", "Accel 50, 50"}));
    const double profile = profileSeconds(40, 50, 200, 200);

    const auto start = Clock::now();
    client.sendLine("$Execute,\"Go AglToPls(40,0,0,0,-90,0)\"");
    ASSERT_TRUE(eventually([&] { return sim.snapshot().joints[0] > 5.0; }));
    EXPECT_EQ(client.execute("Print Power"), "!Execute,21") << "busy while the motion runs";

    const auto pauseSent = Clock::now();
    EXPECT_EQ(client.command("$Pause"), "#Pause,0");
    EXPECT_LT(seconds(Clock::now() - pauseSent), 0.1) << "answered at once";
    const auto paused = Clock::now();
    const auto held = sim.snapshot();
    EXPECT_TRUE(held.paused);
    EXPECT_TRUE(held.moving);
    EXPECT_TRUE(client.quietFor(300ms)) << "no motion reply while paused";
    const double heldJ1 = sim.snapshot().joints[0];
    EXPECT_DOUBLE_EQ(heldJ1, held.joints[0]) << "the arm stands still";
    EXPECT_GT(heldJ1, 0.0);
    EXPECT_LT(heldJ1, 40.0);
    EXPECT_EQ(client.command("$Pause"), "!Pause,20") << "nothing left to pause";

    EXPECT_EQ(client.command("$Continue"), "#Continue,0");
    const auto resumed = Clock::now();
    EXPECT_EQ(client.readLine(3s), "#Execute,0");
    const double moving = seconds(Clock::now() - start) - seconds(resumed - paused);
    EXPECT_NEAR(moving, profile, 0.1 * profile) << "the pause did not eat into the profile";
    EXPECT_DOUBLE_EQ(sim.snapshot().joints[0], 40.0);
}

TEST(SimMotion, EmergencyStopAbortsAndLatchesAnError) {
    Simulator sim(realTimeEvenLimits());
    sim.start();
    Client client(sim.commandPort());
    login(client);
    ASSERT_NO_FATAL_FAILURE(executeAll(client, {"Motor On", "Speed 50", "Accel 50, 50"}));
    client.sendLine("$Execute,\"Go AglToPls(40,0,0,0,-90,0)\"");
    ASSERT_TRUE(eventually([&] { return sim.snapshot().joints[0] > 5.0; }));
    const auto pressed = Clock::now();
    sim.setEmergencyStop(true);
    EXPECT_EQ(client.readLine(1s), "!Execute,99");
    EXPECT_LT(seconds(Clock::now() - pressed), 0.2);
    const auto stopped = sim.snapshot();
    EXPECT_FALSE(stopped.moving);
    EXPECT_FALSE(stopped.motorsOn);
    EXPECT_EQ(stopped.systemError, epson::sim::kEmergencyStopError);
    EXPECT_GT(stopped.joints[0], 5.0);
    EXPECT_LT(stopped.joints[0], 40.0) << "stopped short of the target";

    const std::string stoppedStatus = std::to_string((1 << 17) | (1 << 20)) + ",256";
    const std::string clearStatus = "0,0";
    const std::vector<std::pair<std::string, std::string>> whileOn = {
        {"Print EStopOn,SysErr,Stat(0),CtrlInfo(1)", "#Execute,\"True,1," + stoppedStatus + "\""},
        {"Motor On", "!Execute,20"},
        {"Reset", "!Execute,20"},
        {"Go AglToPls(0,0,0,0,-90,0)", "!Execute,20"},
    };
    for (const auto& [statement, expected] : whileOn) {
        EXPECT_EQ(client.execute(statement), expected) << "while on: " << statement;
    }
    sim.setEmergencyStop(false);
    const std::vector<std::pair<std::string, std::string>> released = {
        {"Print EStopOn,SysErr", "#Execute,\"False,1\""},
        {"Motor On", "!Execute,20"},
        {"Reset", "#Execute,0"},
        {"Print SysErr,Stat(0),CtrlInfo(1)", "#Execute,\"0," + clearStatus + "\""},
        {"Motor On", "#Execute,0"},
        {"Go AglToPls(0,0,0,0,-90,0)", "#Execute,0"},
    };
    for (const auto& [statement, expected] : released) {
        EXPECT_EQ(client.execute(statement), expected) << "released: " << statement;
    }
    EXPECT_DOUBLE_EQ(sim.snapshot().joints[0], 0.0);
}

TEST(SimMotion, RefusedMotionsLeaveTheArmWhereItIs) {
    Simulator sim(fastOptions());
    sim.start();
    Client client(sim.commandPort());
    login(client);
    struct Case {
        std::vector<std::string> setup;
        std::string motion;
        std::string expected;
        const char* why;
    };
    const std::vector<Case> cases = {
        {{"Motor Off"}, "Go XY(350,0,500,0,0,180)", "!Execute,20", "motors off"},
        {{"Motor On"}, "Go XY(5000,0,500,0,0,180)", "!Execute,15", "unreachable Go"},
        {{}, "Move XY(5000,0,500,0,0,180)", "!Execute,15", "unreachable Move"},
        {{}, "Go AglToPls(0,0,0,0,-90,400)", "!Execute,15", "beyond a joint limit"},
        {{"XYLimMode 1", "XYLim 0,400,-100,100,300,600"},
         "Go XY(350,150,500,0,0,180)",
         "!Execute,15",
         "outside the strict box"},
        {{}, "Move XY(350,0,650,0,0,180)", "!Execute,15", "Move outside the strict box"},
        {{}, "Go XY(350,50,500,0,0,180)", "#Execute,0", "inside the strict box"},
        {{"TLSet 1, XY(0,0,200,0,0,0)", "Tool 1"},
         "Go XY(350,50,250,0,0,180)",
         "!Execute,15",
         "the box checks the TCP of the selected Tool, not the flange"},
        {{}, "Go XY(350,50,450,0,0,180)", "#Execute,0", "the flange may leave the box"},
        {{"Tool 0", "XYLimMode 0"},
         "Go XY(350,150,500,0,0,180)",
         "#Execute,0",
         "mode 0 does not fence"},
        {{"XYLimMode 1", "XYLim 0,0,0,0,0,0"},
         "Go XY(350,-150,500,0,0,180)",
         "#Execute,0",
         "an all-zero box fences nothing"},
    };
    for (const auto& c : cases) {
        for (const auto& statement : c.setup) {
            ASSERT_EQ(client.execute(statement), "#Execute,0") << statement;
        }
        const Joints before = sim.snapshot().joints;
        EXPECT_EQ(client.execute(c.motion), c.expected) << c.why;
        if (c.expected[0] == '!') {
            EXPECT_EQ(sim.snapshot().joints, before) << c.why;
        } else {
            EXPECT_NE(sim.snapshot().joints, before) << c.why;
        }
    }
}

TEST(SimMotion, PathsFollowTheirInterpolation) {
    Simulator sim(fastOptions(0.3));
    sim.start();
    Client client(sim.commandPort());
    login(client);
    ASSERT_NO_FATAL_FAILURE(
        executeAll(client, {"Motor On", "SpeedS 100", "AccelS 400", "Speed 20"}));

    // Move: every sample on the straight line, orientation fixed, never going back.
    const Pose from = sim.snapshot().pose;
    const Pose to{300, 80, 480, 0, 0, 180};
    client.sendLine("$Execute,\"Move " + xy(to) + "\"");
    std::vector<Pose> samples;
    ASSERT_TRUE(eventually(
        [&] {
            const auto s = sim.snapshot();
            samples.push_back(s.pose);
            return !s.moving && s.pose != from;
        },
        3s));
    EXPECT_EQ(client.readLine(), "#Execute,0");
    double lastProgress = 0.0;
    int inBetween = 0;
    const double length = std::hypot(to[0] - from[0], to[1] - from[1], to[2] - from[2]);
    for (const Pose& p : samples) {
        double progress = 0.0;
        for (int i = 0; i < 3; ++i) {
            progress += (p[i] - from[i]) * (to[i] - from[i]) / (length * length);
        }
        double offLine = 0.0;
        for (int i = 0; i < 3; ++i) {
            const double onLine = from[i] + progress * (to[i] - from[i]);
            offLine = std::max(offLine, std::abs(p[i] - onLine));
        }
        EXPECT_LT(offLine, 1e-3);
        EXPECT_NEAR(angleDifference(p[3], 0), 0.0, 1e-3);
        EXPECT_NEAR(angleDifference(p[4], 0), 0.0, 1e-3);
        EXPECT_NEAR(angleDifference(p[5], 180), 0.0, 1e-3);
        EXPECT_GE(progress, lastProgress - 1e-9);
        lastProgress = progress;
        inBetween += progress > 0.05 && progress < 0.95;
    }
    EXPECT_GT(inBetween, 5) << "samples taken while moving";
    EXPECT_NEAR(lastProgress, 1.0, 1e-6);

    // Go: all joints move in proportion along one profile.
    const Joints start = sim.snapshot().joints;
    const Joints target{30, 20, -10, 15, -70, 40};
    client.sendLine("$Execute,\"Go " + aglToPls(target) + "\"");
    std::vector<Joints> jointSamples;
    ASSERT_TRUE(eventually(
        [&] {
            const auto s = sim.snapshot();
            jointSamples.push_back(s.joints);
            return !s.moving && s.joints != start;
        },
        3s));
    EXPECT_EQ(client.readLine(), "#Execute,0");
    inBetween = 0;
    for (const Joints& j : jointSamples) {
        const double f = (j[0] - start[0]) / (target[0] - start[0]);
        for (std::size_t i = 1; i < 6; ++i) {
            EXPECT_NEAR(j[i], start[i] + f * (target[i] - start[i]), 1e-6) << "J" << i + 1;
        }
        inBetween += f > 0.05 && f < 0.95;
    }
    EXPECT_GT(inBetween, 5);
    expectJointsNear(sim.snapshot().joints, target, 1e-9, "Go ends on its target");
}

TEST(SimMotion, ToolsApplyToHereAndToTargets) {
    Simulator sim(fastOptions());
    sim.start();
    Client client(sim.commandPort());
    login(client);
    ASSERT_EQ(client.execute("Motor On"), "#Execute,0");
    struct Case {
        std::string tool;
        Pose target;  // TCP of the Tool
        Pose flange;  // where the flange must then be (flange facing down: x, -y, -z)
    };
    const std::vector<Case> cases = {
        {"XY(0,0,100,0,0,0)", {300, 50, 400, 0, 0, 180}, {300, 50, 500, 0, 0, 180}},
        {"XY(10,20,30,90,0,0)", {300, 50, 400, -90, 0, 180}, {290, 70, 430, 0, 0, 180}},
    };
    const std::string here = "CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)";
    for (const auto& c : cases) {
        ASSERT_EQ(client.execute("TLSet 1, " + c.tool), "#Execute,0");
        ASSERT_EQ(client.execute("Tool 1"), "#Execute,0");
        ASSERT_EQ(client.execute("Go " + xy(c.target)), "#Execute,0") << c.tool;
        const auto tcp = numbers(client.print(here));
        ASSERT_EQ(client.execute("Tool 0"), "#Execute,0");
        const auto flange = numbers(client.print(here));
        ASSERT_EQ(tcp.size(), 6u);
        ASSERT_EQ(flange.size(), 6u);
        for (std::size_t i = 0; i < 6; ++i) {
            const double tolerance = 2e-6;
            if (i < 3) {
                EXPECT_NEAR(tcp[i], c.target[i], tolerance) << c.tool << " TCP " << i;
                EXPECT_NEAR(flange[i], c.flange[i], tolerance) << c.tool << " flange " << i;
            } else {
                EXPECT_NEAR(angleDifference(tcp[i], c.target[i]), 0.0, tolerance) << c.tool;
                EXPECT_NEAR(angleDifference(flange[i], c.flange[i]), 0.0, tolerance) << c.tool;
            }
        }
    }
}

}  // namespace
