// The simulator's digital I/O on a clock the test drives: On/Off and the reads of bits, bytes and
// words, an input tied to an output after a delay (and a newer output change replacing one
// still pending), and the refusals of numbers the controller does not have.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Controller.hpp"
#include "Dispatch.hpp"

namespace {

using epson::sim::MotionLimits;
using namespace epson::sim::detail;
using namespace std::chrono_literals;

TEST(SimIo, OutputsInputsTiedByDelayAndRefusals) {
    Controller controller{MotionLimits{}, 1.0};
    bool loggedIn = true;
    const DispatchSettings settings;
    auto now = Clock::time_point{} + 1h;
    // Output 0 closes a gripper: input 8 ("closed") follows it after 80 ms, input 9 ("open")
    // follows it inverted.
    controller.io.tie({0, 8, 80ms, false});
    controller.io.tie({0, 9, 80ms, true});
    struct Step {
        std::chrono::milliseconds advance;
        std::string statement;
        std::string reply;
    };
    const std::vector<Step> steps = {
        {0ms, "Print Oport(0),Sw(8),Sw(9)", "#Execute,\"0,0,0\""},
        {0ms, "On 0", "#Execute,0"},
        {0ms, "Print Oport(0),Out(0),OutW(0)", "#Execute,\"1,1,1\""},
        {79ms, "Print Sw(8),Sw(9)", "#Execute,\"0,0\""},
        {1ms, "Print Sw(8),Sw(9),In(1),InW(0)", "#Execute,\"1,0,1,256\""},
        // Off, then On again before the sensor answered: it follows the last command.
        {0ms, "Off 0", "#Execute,0"},
        {40ms, "On 0", "#Execute,0"},
        {41ms, "Print Sw(8),Sw(9)", "#Execute,\"1,0\""},
        {0ms, "Off 0", "#Execute,0"},
        {80ms, "Print Sw(8),Sw(9),Oport(0)", "#Execute,\"0,1,0\""},
        {0ms, "On 511", "#Execute,0"},
        {0ms, "Print Oport(511),Out(63),OutW(31)", "#Execute,\"1,128,32768\""},
        {0ms, "On 512", "!Execute,15"},
        {0ms, "Off -1", "!Execute,15"},
        {0ms, "Print Oport(512)", "!Execute,15"},
        {0ms, "Print Out(64)", "!Execute,15"},
        {0ms, "Print InW(32)", "!Execute,15"},
        {0ms, "Print OutW(32)", "!Execute,15"},
        {0ms, "On 1, 2", "!Execute,14"},
        {0ms, "On", "!Execute,14"},
        {0ms, "Print Oport(1)", "#Execute,\"0\""},
    };
    for (const auto& step : steps) {
        now += step.advance;
        const auto result = dispatchLine("$Execute,\"" + step.statement + "\"", controller,
                                         loggedIn, settings, now);
        ASSERT_EQ(result.replies.size(), 1u) << step.statement;
        EXPECT_EQ(result.replies[0], step.reply) << step.statement;
    }
}

TEST(SimIo, TiesAreBounded) {
    IoPorts io;
    for (std::size_t i = 0; i < kMaxInputTies; ++i) {
        io.tie({i, i, 1ms, false});
    }
    io.tie({0, 0, 2ms, true});  // replaces, so it still fits
    EXPECT_THROW(io.tie({100, 100, 1ms, false}), std::invalid_argument);
    EXPECT_THROW(IoPorts().tie({0, 0, kMaxTieDelay + 1ms, false}), std::invalid_argument);
    EXPECT_THROW(IoPorts().tie({0, 512, 1ms, false}), std::invalid_argument);
    io.clearTies();
    io.tie({100, 100, 1ms, false});
}

}  // namespace
