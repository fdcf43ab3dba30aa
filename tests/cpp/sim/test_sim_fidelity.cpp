// Where the simulator follows a controller more closely than a lenient stand-in would: Motor On
// and Reset restore defaults, joint-angle and assigned points, the configuration a target
// keeps without LJM and the wrist LJM's orientation flag picks, Till and Find over simulated
// inputs, Move within the joint speed limits, and $Abort over the wire.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <optional>
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

class SimFidelity : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_.start();
        connection_.emplace(sim_.commandPort());
        ASSERT_NO_FATAL_FAILURE(login(client()));
        ASSERT_EQ(client().execute("Motor On"), "#Execute,0");
    }

    Simulator sim_{fastOptions()};
    std::optional<Client> connection_;
    Client& client() { return *connection_; }
};

TEST_F(SimFidelity, MotorOnAndResetRestoreLowPowerAndDefaultSettings) {
    for (const char* restorer : {"Motor On", "Reset"}) {
        ASSERT_NO_FATAL_FAILURE(executeAll(
            client(), {"Power High", "Speed 50", "Accel 50, 60", "SpeedS 300", "AccelS 900, 800"}));
        ASSERT_EQ(client().print("Power,Speed"), "1,50");
        ASSERT_EQ(client().execute(restorer), "#Execute,0");
        EXPECT_EQ(client().print("Power,Speed,Accel(1),Accel(2),SpeedS,AccelS(1),AccelS(2)"),
                  "0,10,10,10,50,200,200")
            << restorer;
    }
}

TEST_F(SimFidelity, JointAngleAndAssignedPoints) {
    const RobotModel model;
    const Joints target{10, 5, 15, 20, -70, 30};
    sim_.setJointPoint("P8", target);
    struct Case {
        std::vector<std::string> setup;
        std::string print;
        std::string expected;
        const char* why;
    };
    const std::vector<Case> cases = {
        {{}, "PAgl(JA(10,20,30,40,50,60),3)", "30", "JA keeps its joints"},
        {{}, "CX(JA(0,0,0,0,-90,0)),CZ(JA(0,0,0,0,-90,0))", "350,535", "JA as a pose"},
        {{"Go JA(10,5,15,20,-70,30)"}, "Agl(1),Agl(5),Agl(6)", "10,-70,30", "Go to JA"},
        {{"P7 = JA(-10,0,0,0,-90,0)", "Go P7"}, "Agl(1)", "-10", "an assigned JA point"},
        {{"P9 = XY(300,20,500,0,0,180)", "Go P9"},
         "CX(Here),CY(Here),CZ(Here)",
         "300,20,500",
         "an assigned XY point"},
        {{"Go P8"}, "Agl(2),Agl(4)", "5,20", "a joint point set by the test"},
    };
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(executeAll(client(), c.setup)) << c.why;
        EXPECT_EQ(client().print(c.print), c.expected) << c.why;
    }
    EXPECT_NEAR(std::stod(client().print("CY(P8)")), model.forward(target)[1], 1e-5);
}

TEST_F(SimFidelity, TargetsKeepTheirConfigurationUnlessLjm) {
    const RobotModel model;
    // The pose of a flipped wrist, seen from a nearby unflipped one: the least joint motion
    // flips the wrist (J5 5 -> -5); keeping the configuration turns J4 and J6 half a turn.
    const Joints current{0, 10, 20, 30, 5, 40};
    const std::string target = xy(model.forward(Joints{0, 10, 20, 30, -5, 50}));
    // Wrist alternatives where the joint that moves most (J6) and the least J6 turn disagree.
    const Joints turned{0, 10, 20, 60, 1, 100};
    const std::string wrist = xy(model.forward(Joints{0, 10, 20, 100, 20, 0}));
    struct Case {
        Joints here;
        std::string point;
        std::string expected;  // J4 and J6 of the solution
        const char* why;
    };
    const std::vector<Case> cases = {
        {current, target, "-150,-130", "no LJM: the current configuration (no flip) stays"},
        {current, "LJM(" + target + ")", "30,50", "LJM: the least joint motion"},
        {current, target + " /F", "30,50", "the point's flag asks for the flip"},
        {current, target + " /NF", "-150,-130", "and for no flip"},
        {turned, "LJM(" + wrist + ",Here,0)", "100,0", "flag 0: the joint that moves most"},
        {turned, "LJM(" + wrist + ",Here,1)", "100,0", "flag 1: J4 turns least"},
        {turned, "LJM(" + wrist + ",Here,2)", "-80,180", "flag 2: J6 turns least"},
    };
    for (const auto& c : cases) {
        sim_.setJoints(c.here);
        EXPECT_EQ(client().print("PAgl(" + c.point + ",4),PAgl(" + c.point + ",6)"), c.expected)
            << c.why;
    }
    sim_.setJoints(current);
    ASSERT_EQ(client().execute("Go " + target), "#Execute,0");
    EXPECT_EQ(client().print("Agl(4),Agl(5)"), "-150,5") << "Go keeps it too";
    sim_.setJoints(current);
    ASSERT_EQ(client().execute("Go " + target + " LJM"), "#Execute,0");
    EXPECT_EQ(client().print("Agl(4),Agl(5)"), "30,-5");
}

TEST_F(SimFidelity, TillConditionsOverTheInputs) {
    EXPECT_EQ(client().execute("Go JA(30,0,0,0,-90,0) Till"), "!Execute,14")
        << "a bare Till needs a Till statement first";
    struct Case {
        std::vector<int> inputs;
        std::string condition;
        bool holds;
    };
    const std::vector<Case> cases = {
        {{}, "Sw(1) = On", false},         {{1}, "Sw(1) = On", true},
        {{1}, "Sw(1) = Off", false},       {{1}, "Sw(1)", true},
        {{1, 2}, "Sw(1) And Sw(2)", true}, {{1}, "Sw(1) And Sw(2)", false},
        {{2}, "Sw(1) Or Sw(2)", true},     {{1, 2}, "Sw(1) Xor Sw(2)", false},
        {{}, "Not Sw(3)", true},           {{8, 9}, "In(1) = 3", true},
        {{8}, "In(1) >= 2", false},        {{9}, "In(1) >= 2", true},
        {{9}, "In(1) > 2", false},         {{8}, "In(1) <> 0 And Not (Sw(0) Or Sw(2))", true},
        {{}, "In(0) < 1", true},           {{15}, "In(1) <= 127", false},
    };
    const auto run = [&](const Case& c, const std::string& statement) {
        sim_.setJoints(kHome);
        for (int bit = 0; bit < 16; ++bit) {
            sim_.setInput(bit, false);
        }
        for (int bit : c.inputs) {
            sim_.setInput(bit, true);
        }
        EXPECT_EQ(client().execute(statement), "#Execute,0") << statement;
        // A condition that holds at the start stops the arm before it has moved.
        EXPECT_EQ(client().print("Agl(1)"), c.holds ? "0" : "30") << c.condition;
    };
    for (const auto& c : cases) {
        run(c, "Go JA(30,0,0,0,-90,0) Till " + c.condition);
    }
    ASSERT_EQ(client().execute("Till Sw(5) = On"), "#Execute,0");
    run({{5}, "Till statement", true}, "Go JA(30,0,0,0,-90,0) Till");
    run({{}, "Till statement", false}, "Go JA(30,0,0,0,-90,0) Till");
}

TEST(SimFidelityTimed, TillStopsAndFindRecordsWhileMoving) {
    Simulator sim(fastOptions(0.5));
    sim.start();
    Client client(sim.commandPort());
    ASSERT_NO_FATAL_FAILURE(login(client));
    ASSERT_NO_FATAL_FAILURE(executeAll(client, {"Motor On", "Speed 20", "Accel 100, 100"}));

    // Till: the input ends the motion early, with an ordinary reply.
    client.sendLine("$Execute,\"Go JA(60,0,0,0,-90,0) Till Sw(4) = On\"");
    ASSERT_TRUE(eventually([&] { return sim.joints()[0] > 5.0; }));
    const auto set = Clock::now();
    sim.setInput(4, true);
    EXPECT_EQ(client.readLine(2s), "#Execute,0");
    EXPECT_LT(seconds(Clock::now() - set), 0.5) << "60 deg/s stops within 0.04 s";
    EXPECT_LT(sim.joints()[0], 40.0) << "stopped short of the target";
    EXPECT_FALSE(sim.moving());

    // Find: the motion goes on; FindPos holds the TCP where the condition first held.
    sim.setJoints(kHome);
    client.sendLine("$Execute,\"Go JA(40,0,0,0,-90,0) Find Sw(6) = On\"");
    ASSERT_TRUE(eventually([&] { return sim.joints()[0] > 10.0; }));
    sim.setInput(6, true);
    const Pose found = sim.pose();
    EXPECT_EQ(client.readLine(3s), "#Execute,0");
    EXPECT_EQ(sim.joints()[0], 40.0) << "Find does not stop the motion";
    ASSERT_EQ(client.print("PosFound"), "True");
    const auto position = numbers(client.print("CY(FindPos)"));
    ASSERT_EQ(position.size(), 1u);
    EXPECT_NEAR(position[0], found[1], 15.0) << "where the arm was when the input came";
    EXPECT_GT(position[0], 50.0);
}

TEST(SimFidelityTimed, MoveSlowsDownToTheJointSpeedLimits) {
    constexpr double kTimeScale = 0.5;
    Simulator sim(fastOptions(kTimeScale));
    sim.start();
    Client client(sim.commandPort());
    ASSERT_NO_FATAL_FAILURE(login(client));
    // A straight line passing 100 mm from the J1 axis: at 1000 mm/s J1 would need 573 deg/s.
    ASSERT_NO_FATAL_FAILURE(
        executeAll(client, {"Motor On", "Speed 100", "Accel 100, 100",
                            "Go XY(100,-150,600,0,0,180)", "SpeedS 1000", "AccelS 25000"}));
    client.sendLine("$Execute,\"Move XY(100,150,600,0,0,180)\"");
    struct Sample {
        Clock::time_point at;
        double j1;
    };
    std::vector<Sample> samples;
    ASSERT_TRUE(eventually(
        [&] {
            samples.push_back({Clock::now(), sim.joints()[0]});
            return !sim.moving() && samples.back().j1 > 0.0;
        },
        5s));
    EXPECT_EQ(client.readLine(), "#Execute,0");
    double fastest = 0.0;
    for (std::size_t i = 0, j = 0; j < samples.size(); ++j) {
        while (seconds(samples[j].at - samples[i].at) > 0.03) {
            ++i;
        }
        const double span = seconds(samples[j].at - samples[i].at);
        if (span > 0.02) {
            fastest =
                std::max(fastest, std::abs(samples[j].j1 - samples[i].j1) / span * kTimeScale);
        }
    }
    EXPECT_GT(fastest, 200.0) << "J1 runs near its limit (deg per simulated second)";
    EXPECT_LT(fastest, 300.0 * 1.1) << "but not beyond it";
}

TEST(SimFidelityTimed, AbortStopsTheMotionAndAnswersItsExecuteWithAnError) {
    for (const bool strict : {false, true}) {
        auto options = fastOptions(1.0);
        options.strictExecute = strict;
        Simulator sim(options);
        sim.start();
        Client client(sim.commandPort());
        ASSERT_NO_FATAL_FAILURE(login(client));
        ASSERT_NO_FATAL_FAILURE(executeAll(client, {"Motor On", "Speed 30", "Accel 100, 100"}));
        client.sendLine("$Execute,\"Go JA(80,0,0,0,-90,0)\"");
        ASSERT_TRUE(eventually([&] { return sim.joints()[0] > 5.0; }));
        EXPECT_EQ(client.command("$Pause"), strict ? "!Pause,21" : "#Pause,0");
        EXPECT_EQ(client.command("$GetStatus").substr(0, 21),
                  strict ? "#GetStatus,0010000001" : "#GetStatus,0010000011");
        if (!strict) {
            EXPECT_EQ(client.command("$Continue"), "#Continue,0");
        }
        const double before = sim.joints()[0];
        const auto sent = Clock::now();
        EXPECT_EQ(client.command("$Abort"), "#Abort,0");
        EXPECT_EQ(client.readLine(2s), "!Execute,99");
        EXPECT_LT(seconds(Clock::now() - sent), 0.5) << "90 deg/s ramps down in 0.06 s";
        EXPECT_GT(sim.joints()[0], before) << "decelerating, not halting";
        EXPECT_LT(sim.joints()[0], 80.0);
        EXPECT_FALSE(sim.moving());
        EXPECT_EQ(client.execute("Print SysErr,Motor"), "#Execute,\"0,True\"")
            << "an abort is no error of the controller";
        EXPECT_TRUE(sim.waitForCommand("$Abort", 0ms).has_value());
    }
}

}  // namespace
