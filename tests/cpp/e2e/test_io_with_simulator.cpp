// Digital I/O of the link against the simulated controller: an output set and read back, a
// gripper's sensor tied to it, bytes and words, and inputs set by the test.

#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "QuietStdout.hpp"
#include "epson/CellCommandLink.hpp"
#include "epson_sim/Script.hpp"
#include "epson_sim/Simulator.hpp"

namespace epson::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// How long @p condition took to hold, or nullopt when it did not within @p timeout.
std::optional<Clock::duration> timeUntil(const std::function<bool()>& condition,
                                         std::chrono::milliseconds timeout) {
    const auto start = Clock::now();
    while (!condition()) {
        if (Clock::now() - start >= timeout) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(2ms);
    }
    return Clock::now() - start;
}

TEST(IoWithSimulator, AGripperAndItsSensorThroughTheLink) {
    sim::SimulatorOptions options;
    options.commandPort = 0;
    options.telemetryPort = 0;
    sim::Simulator simulator(options);
    simulator.start();
    QuietStdout quiet;
    // The control channel's directive and the C++ call tie alike.
    EXPECT_EQ(sim::runScriptLine(simulator, "tie-input 0 8 0.08"), "ok");
    simulator.tieInput(0, 9, 80ms, true);
    EXPECT_THROW(sim::runScriptLine(simulator, "tie-input 0 512 0.08"), std::out_of_range);
    EXPECT_THROW(sim::runScriptLine(simulator, "tie-input 0 8 61"), std::invalid_argument);
    simulator.setInput(20, true);

    CellCommandLink link;
    link.connect("127.0.0.1", simulator.commandPort(), "");
    EXPECT_FALSE(link.getOutputBit(0));
    EXPECT_TRUE(link.getInputBit(20));
    EXPECT_EQ(link.getInputWord(1), 1 << 4);

    struct Step {
        bool on;
        int sensor;  // the input that must come on
        int other;   // the one that must then be off
    };
    for (const Step step : {Step{true, 8, 9}, Step{false, 9, 8}, Step{true, 8, 9}}) {
        const auto sent = Clock::now();
        link.setOutputBit(0, step.on);
        EXPECT_EQ(link.getOutputBit(0), step.on);
        EXPECT_EQ(simulator.output(0), step.on);
        const auto took = timeUntil([&] { return link.getInputBit(step.sensor); }, 5s);
        ASSERT_TRUE(took.has_value()) << "input " << step.sensor << " never came on";
        EXPECT_GE(Clock::now() - sent, 80ms);
        EXPECT_FALSE(link.getInputBit(step.other));
    }
    EXPECT_EQ(sim::runScriptLine(simulator, "output 0"), "ok: on");
    EXPECT_EQ(link.getOutputByte(0), 1);
    EXPECT_EQ(link.getInputByte(1), 1);  // bit 8 on, bit 9 off

    // An input that comes on during a motion, after the output was set before it, stops the
    // motion's Till there: the simulator settles tied inputs on a timer, not only on commands.
    simulator.tieInput(1, 10, 150ms);
    link.motorOn();
    auto joints = link.getState();
    std::string target = "JA(" + std::to_string(joints[0] + 60.0);
    for (int j = 1; j < 6; ++j) {
        target += "," + std::to_string(joints[j]);
    }
    link.setOutputBit(1, true);
    link.go(target + ")", false, false, std::nullopt, std::string("Till Sw(10) = On"), std::nullopt,
            false, 5, std::nullopt, std::nullopt);
    EXPECT_TRUE(link.tillOn());
    EXPECT_LT(std::abs(link.getState()[0] - joints[0]), 59.0);

    // Without a tie the sensor never answers: the wait runs into its time-out.
    link.setOutputBit(5, true);
    EXPECT_FALSE(timeUntil([&] { return link.getInputBit(13); }, 300ms).has_value());
    link.disconnect();
}

}  // namespace
}  // namespace epson::test
