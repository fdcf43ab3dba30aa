// A whole session of the connector against the simulated controller.

#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "QuietStdout.hpp"
#include "epson/CellCommandLink.hpp"
#include "epson_sim/Simulator.hpp"

namespace epson::test {
namespace {

using namespace std::chrono_literals;
using std::nullopt;

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(SessionWithSimulator, EveryOperationEndToEnd) {
    sim::SimulatorOptions options;
    options.commandPort = 0;
    options.telemetryPort = 0;
    options.timeScale = 0.2;
    sim::Simulator simulator(options);
    simulator.start();
    QuietStdout quiet;

    CellCommandLink link;
    link.connect("127.0.0.1", simulator.commandPort(), "");
    ASSERT_TRUE(link.isLoggedIn());

    // Status and power.
    const auto status = link.getControllerStatus();
    EXPECT_EQ(status.size(), 8u);
    EXPECT_EQ(status.at("emergency_stopped"), 0);
    EXPECT_FALSE(link.isEmergencyStopped());
    link.setPowerMode(EpsonPowerMode::HIGH);
    EXPECT_EQ(link.getPowerMode(), EpsonPowerMode::HIGH);
    EXPECT_EQ(link.getPtpMotionLimits().speed_percent, 100);

    // Tools and the TCP offset, restored to the flange.
    link.tlSet(3, "XY(1,2,3,0,0,90)");
    EXPECT_TRUE(link.isToolDefined(3));
    EXPECT_EQ(link.getToolDefinition(3), (std::vector<double>{1, 2, 3, 0, 0, 90}));
    link.tlClear(3);
    EXPECT_FALSE(link.isToolDefined(3));
    link.setTcpOffset({0.0, 0.0, 0.1, 0.0, 0.0, 0.0});
    EXPECT_EQ(link.getTool(), 15);
    const auto offset = link.getTcpOffset();
    EXPECT_NEAR(offset[2], 0.1, 1e-9);
    link.restoreTcpOffset();
    EXPECT_EQ(link.getTool(), 0);
    EXPECT_FALSE(link.isToolDefined(15));

    // Inverse kinematics of a pose near the current one, then the workspace around it.
    const auto here = link.getState();
    ASSERT_EQ(here.size(), 12u);
    std::vector<double> target(here.begin() + 6, here.end());
    target[0] -= 60.0;
    target[1] += 40.0;
    const auto joints = link.inverseKinematics(target, true, nullopt);
    ASSERT_EQ(joints.size(), 6u);
    link.addSafetyCuboid({target[0] - 200, target[1] - 200, target[2] - 200},
                         {target[0] + 200, target[1] + 200, target[2] + 200});

    // Go there, then Move back with a pause: getState fails fast during it.
    link.motorOn();
    std::string destination = "XY(";
    for (std::size_t i = 0; i < 6; ++i) {
        destination += (i ? "," : "") + std::to_string(target[i]);
    }
    destination += ")";
    link.go(destination, false, true, nullopt, nullopt, nullopt, false, 50, nullopt, nullopt);
    const auto there = link.getState();
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_NEAR(there[i], joints[i], 1e-3) << "joint " << i + 1;
    }
    simulator.setPoint("P1", {here[6], here[7], here[8], here[9], here[10], here[11]});
    auto motion = std::async(std::launch::async, [&] {
        link.move("P1", false, false, false, nullopt, nullopt, false, 50.0, nullopt);
    });
    ASSERT_TRUE(waitFor([&] { return simulator.snapshot().moving; }, 5s));
    EXPECT_THROW(link.getState(), std::runtime_error);
    link.pause();
    EXPECT_TRUE(waitFor([&] { return simulator.snapshot().paused; }, 2s));
    link.continueMotion();
    ASSERT_EQ(motion.wait_for(30s), std::future_status::ready);
    EXPECT_NO_THROW(motion.get());
    const auto back = link.getState();
    for (std::size_t i = 6; i < 9; ++i) {
        EXPECT_NEAR(back[i], here[i], 1e-3);
    }

    // The orderly disconnect switches the motors off and logs out.
    link.disconnect();
    EXPECT_FALSE(link.isConnected());
    EXPECT_FALSE(simulator.snapshot().motorsOn);
    const auto log = simulator.commandLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "$Logout");
    EXPECT_EQ(log[log.size() - 2], "$Execute,\"Motor Off\"");
    simulator.stop();
}

}  // namespace
}  // namespace epson::test
