// Go and Move on the wire, and pause/continue beside a running motion.

#include <atomic>
#include <future>
#include <limits>

#include <boost/system/system_error.hpp>

#include "CommandTestSupport.hpp"
#include "QuietStdout.hpp"

namespace epson::test {
namespace {

using Impl = CellCommandLink::Impl;
using std::nullopt;
using std::chrono::milliseconds;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::string execute(const std::string& statement) {
    return "$Execute,\"" + statement + "\"";
}

struct MotionCase {
    std::string name;
    std::function<void(Impl&)> call;
    std::vector<std::string> commands;  // what goes on the wire, in order
};

TEST(Motion, StatementsSettingsAndModifierOrder) {
    const std::vector<MotionCase> cases = {
        {"go plain",
         [](Impl& i) {
             i.go("P1", false, false, nullopt, nullopt, nullopt, false, nullopt, nullopt, nullopt);
         },
         {execute("Go P1")}},
        {"go cp speed",
         [](Impl& i) {
             i.go("P1", true, false, nullopt, nullopt, nullopt, false, 50, nullopt, nullopt);
         },
         {execute("Speed 50"), execute("Go P1 CP")}},
        {"go accel only",
         [](Impl& i) {
             i.go("P1", false, false, nullopt, nullopt, nullopt, false, nullopt, 30, nullopt);
         },
         {execute("Accel 30, 30"), execute("Go P1")}},
        {"go everything",
         [](Impl& i) {
             i.go("XY(1,2,3,4,5,6)", true, true, 0, std::string("Till Sw(1) = On"),
                  std::string("On 1"), true, 100, 500, 40);
         },
         {execute("Speed 100"), execute("Accel 500, 40"),
          execute("Go XY(1,2,3,4,5,6) CP LJM 0 Till Sw(1) = On !On 1! SYNC")}},
        {"go ljm without flag",
         [](Impl& i) {
             i.go("P2", false, true, nullopt, nullopt, nullopt, false, 1, nullopt, nullopt);
         },
         {execute("Speed 1"), execute("Go P2 LJM")}},
        {"move plain",
         [](Impl& i) {
             i.move("P1", false, false, false, nullopt, nullopt, false, nullopt, nullopt);
         },
         {execute("Move P1")}},
        {"move rot sync speed",
         [](Impl& i) { i.move("P2", true, false, false, nullopt, nullopt, true, 250.0, nullopt); },
         {execute("SpeedS 250.00000000000000000"), execute("Move P2 ROT SYNC")}},
        {"move everything",
         [](Impl& i) {
             i.move("P3", true, true, true, std::string("Find Sw(2)"), std::string("Off 2"), true,
                    100.5, 0.1);
         },
         {execute("SpeedS 100.50000000000000000"), execute("AccelS 0.10000000000000001"),
          execute("Move P3 ROT ECP CP Find Sw(2) !Off 2! SYNC")}},
        {"move tiny speed",
         [](Impl& i) {
             i.move("P4", false, false, false, nullopt, nullopt, false, 4e-18, nullopt);
         },
         {execute("SpeedS 0.00000000000000000"), execute("Move P4")}},
    };
    for (const auto& c : cases) {
        ScriptedPeer peer;
        scriptLogin(peer);
        for (const auto& command : c.commands) {
            peer.exchange(command, "#Execute,0");
        }
        peer.expectSilence(100ms);
        Impl impl;
        connectImpl(impl, peer);
        EXPECT_NO_THROW(c.call(impl)) << c.name;
        EXPECT_FALSE(impl.motionInProgress_) << c.name;
        EXPECT_TRUE(peer.finish()) << c.name;
    }
}

TEST(Motion, ValidationFailsBeforeAnythingIsSent) {
    struct Case {
        std::function<void(Impl&)> call;
        std::string message;
    };
    const auto go = [](std::string destination, bool ljm, std::optional<int> flag,
                       std::optional<std::string> search, std::optional<std::string> parallel,
                       std::optional<int> speed, std::optional<int> accel,
                       std::optional<int> decel) {
        return [=](Impl& i) {
            i.go(destination, false, ljm, flag, search, parallel, false, speed, accel, decel);
        };
    };
    const auto move = [](std::string destination, std::optional<std::string> search,
                         std::optional<std::string> parallel, std::optional<double> speed,
                         std::optional<double> accel) {
        return [=](Impl& i) {
            i.move(destination, false, false, false, search, parallel, false, speed, accel);
        };
    };
    const std::vector<Case> cases = {
        {go("", false, nullopt, nullopt, nullopt, nullopt, nullopt, nullopt),
         "Go destination must not be empty"},
        {go("P1", false, 0, nullopt, nullopt, nullopt, nullopt, nullopt),
         "orientation_flag can only be used when LJM is enabled"},
        {go("P1", false, nullopt, nullopt, nullopt, 101, nullopt, nullopt),
         "speed_percent must be between 1 and 100"},
        {go("P1", false, nullopt, nullopt, nullopt, 0, nullopt, nullopt),
         "speed_percent must be at least 1"},
        {go("P1", false, nullopt, nullopt, nullopt, nullopt, 0, nullopt),
         "acceleration_percent must be at least 1"},
        {go("P1", false, nullopt, nullopt, nullopt, nullopt, 10, 0),
         "deceleration_percent must be at least 1"},
        {go("P1", false, nullopt, nullopt, nullopt, nullopt, nullopt, 10),
         "deceleration_percent requires acceleration_percent"},
        {go("P1", false, nullopt, std::string(""), nullopt, nullopt, nullopt, nullopt),
         "search_expression must not be empty"},
        {go("P1", false, nullopt, nullopt, std::string(""), nullopt, nullopt, nullopt),
         "parallel_processing must not be empty"},
        // Quotes or line ends would end the $Execute statement and smuggle in another command.
        {go("P1\"\r\n$Execute,\"Motor Off", false, nullopt, nullopt, nullopt, nullopt, nullopt,
            nullopt),
         "destination must not contain quotes or line endings"},
        {go("P1", false, nullopt, std::string("Till\n"), nullopt, nullopt, nullopt, nullopt),
         "search_expression must not contain quotes or line endings"},
        {go("P1", false, nullopt, nullopt, std::string("On 1\"x"), nullopt, nullopt, nullopt),
         "parallel_processing must not contain quotes or line endings"},
        {go(std::string("P1\0P2", 5), false, nullopt, nullopt, nullopt, nullopt, nullopt, nullopt),
         "destination must not contain NUL characters"},
        {go("P1", false, nullopt, std::string(16385, 'x'), nullopt, nullopt, nullopt, nullopt),
         "search_expression must not be longer than 16384 bytes"},
        {move("", nullopt, nullopt, nullopt, nullopt), "Move destination must not be empty"},
        {move("P1\r", nullopt, nullopt, nullopt, nullopt),
         "destination must not contain quotes or line endings"},
        {move("P1", nullopt, nullopt, 0.0, nullopt), "speed_mm_s must be finite and positive"},
        {move("P1", nullopt, nullopt, -1.0, nullopt), "speed_mm_s must be finite and positive"},
        {move("P1", nullopt, nullopt, kNaN, nullopt), "speed_mm_s must be finite and positive"},
        {move("P1", nullopt, nullopt, 10.0, kInf),
         "acceleration_mm_s2 must be finite and positive"},
        {move("P1", std::string(""), nullopt, nullopt, nullopt),
         "search_expression must not be empty"},
        {move("P1", nullopt, std::string("a\"b"), nullopt, nullopt),
         "parallel_processing must not contain quotes or line endings"},
    };
    ScriptedPeer peer;
    scriptLogin(peer).expectSilence(300ms);
    Impl impl;
    connectImpl(impl, peer);
    for (const auto& c : cases) {
        EXPECT_TRUE(throwsWithMessage<std::invalid_argument>([&] { c.call(impl); }, c.message));
        EXPECT_FALSE(impl.motionInProgress_) << c.message;
    }
    EXPECT_TRUE(peer.finish());
}

TEST(Motion, FlagIsClearedWhenTheControllerRejectsTheMotion) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .exchange(execute("Speed 50"), "!Execute,15")
        .exchange(execute("Go P9"), "!Execute,4001");
    Impl impl;
    connectImpl(impl, peer);
    EXPECT_THROW(
        impl.go("P1", false, false, nullopt, nullopt, nullopt, false, 50, nullopt, nullopt),
        std::runtime_error);
    EXPECT_FALSE(impl.motionInProgress_);
    EXPECT_THROW(
        impl.go("P9", false, false, nullopt, nullopt, nullopt, false, nullopt, nullopt, nullopt),
        std::runtime_error);
    EXPECT_FALSE(impl.motionInProgress_);
    EXPECT_TRUE(peer.finish());
}

/// Runs a Go P1 on its own thread.
std::future<void> startGo(CellCommandLink& link) {
    return std::async(std::launch::async, [&link] {
        link.go("P1", false, false, nullopt, nullopt, nullopt, false, nullopt, nullopt, nullopt);
    });
}

TEST(MotionControl, AbortStopsTheMotionOrKeepsItFromStarting) {
    ScriptedPeer peer;
    scriptLogin(peer)
        // Beside a motion: the motion ends with the controller's answer, whatever its code.
        .expectLine(execute("Go P1"))
        .exchange("$Abort", "#Abort,0")
        .sendLine("!Execute,20")
        // With nothing running: an ordinary command.
        .exchange("$Abort", "#Abort,0")
        // During the settings of a motion: nothing is sent, and the motion never is.
        .expectLine(execute("Speed 50"))
        .gate("aborted")
        .sendLine("#Execute,0")
        .expectSilence(200ms);
    CellCommandLink link;
    connectLink(link, peer);
    auto motion = startGo(link);
    ASSERT_TRUE(peer.waitForReceived("Go P1"));
    EXPECT_NO_THROW(link.abortMotion());
    try {
        motion.get();
        ADD_FAILURE() << "the aborted motion reported success";
    } catch (const MotionAbortedError& refusal) {
        EXPECT_EQ(refusal.code(), 20);
    }
    EXPECT_NO_THROW(link.abortMotion());
    auto slowed = std::async(std::launch::async, [&link] {
        link.go("P1", false, false, nullopt, nullopt, nullopt, false, 50, nullopt, nullopt);
    });
    ASSERT_TRUE(peer.waitForReceived("Speed 50"));
    EXPECT_NO_THROW(link.abortMotion());
    peer.openGate("aborted");
    EXPECT_TRUE(throwsWithMessage<MotionAbortedError>(
        [&] { slowed.get(); }, "Epson motion was aborted before it started"));
    EXPECT_TRUE(peer.finish());
}

/// The side-path call for a control command text.
void control(CellCommandLink& link, const std::string& command) {
    if (command == "$Pause") {
        link.pause();
    } else if (command == "$Continue") {
        link.continueMotion();
    } else {
        link.abortMotion();
    }
}

TEST(MotionControl, PauseReturnsWhileTheMotionKeepsWaiting) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .expectLine(execute("Go P1"))
        .mark("moving")
        .exchange("$Pause", "#Pause,0")
        .gate("finish")
        .sendLine("#Execute,0");
    CellCommandLink link;
    connectLink(link, peer);
    auto motion = startGo(link);
    ASSERT_TRUE(peer.waitForMark("moving"));
    // The robot state is refused at once rather than waiting for the motion.
    const auto elapsed = timed([&] {
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
            [&] { link.getState(); },
            "getState() skipped: a motion command is in progress and holds the connection "
            "until the move completes"));
    });
    EXPECT_LT(elapsed, milliseconds(50));
    EXPECT_NO_THROW(link.pause());
    EXPECT_EQ(motion.wait_for(100ms), std::future_status::timeout);
    peer.openGate("finish");
    ASSERT_EQ(motion.wait_for(10s), std::future_status::ready);
    EXPECT_NO_THROW(motion.get());
    EXPECT_TRUE(peer.finish());
}

TEST(MotionControl, SecondOverlappingControlCommandFailsAtOnceButAnAbortGoes) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .expectLine(execute("Go P1"))
        .expectLine("$Pause")
        .mark("pause sent")
        // The abort goes out while the pause still waits for its reply.
        .expectLine("$Abort")
        .sendLine("!Pause,21")
        .sendLine("#Abort,0")
        .sendLine("!Execute,99");
    CellCommandLink link;
    connectLink(link, peer);
    auto motion = startGo(link);
    // Wait until the motion really runs, so that pause() takes the side path.
    ASSERT_TRUE(peer.waitForReceived("Go P1"));
    auto pause = std::async(std::launch::async, [&] { link.pause(); });
    ASSERT_TRUE(peer.waitForMark("pause sent"));
    const auto elapsed = timed([&] {
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
            [&] { link.continueMotion(); }, "Another Epson motion-control command is pending"));
    });
    EXPECT_LT(elapsed, milliseconds(50));
    EXPECT_NO_THROW(link.abortMotion());
    // An error reply goes to the control command it names, not to the motion.
    EXPECT_TRUE(throwsWithMessage<ControllerError>(
        [&] { pause.get(); }, "Remote command failed: !Pause,21 (command: $Pause)"));
    EXPECT_THROW(motion.get(), MotionAbortedError);
    EXPECT_TRUE(peer.finish());
}

TEST(MotionControl, TheMotionsOwnErrorStaysWithTheMotionWhileAPauseIsPending) {
    // An emergency stop aborts the motion while its pause is still unanswered.
    ScriptedPeer peer;
    scriptLogin(peer)
        .expectLine(execute("Go P1"))
        .expectLine("$Pause")
        .sendLine("!Execute,99")
        .sendLine("#Pause,0")
        .exchange(execute("Print Power"), "#Execute,\"1\"");
    CellCommandLink link;
    connectLink(link, peer);
    auto motion = startGo(link);
    ASSERT_TRUE(peer.waitForReceived("Go P1"));
    EXPECT_NO_THROW(link.pause());
    ASSERT_EQ(motion.wait_for(10s), std::future_status::ready);
    try {
        motion.get();
        ADD_FAILURE() << "the aborted motion reported success";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Remote command failed: !Execute,99", 0), 0u)
            << error.what();
    }
    EXPECT_EQ(link.getPowerMode(), EpsonPowerMode::HIGH);
    EXPECT_TRUE(peer.finish());
}

TEST(MotionControl, ControlRacingTheEndOfAMotionNeverLeavesAStrayReply) {
    for (int round = 0; round < 60; ++round) {
        const std::string command = round % 2 == 0 ? "$Pause" : "$Abort";
        ScriptedPeer peer;
        scriptLogin(peer)
            .expectLine(execute("Go P1"))
            .mark("moving")
            .sendLine("#Execute,0")
            .exchange(command, "#" + command.substr(1) + ",0")
            .exchange(execute("Print Power"), "#Execute,\"1\"");
        CellCommandLink link;
        connectLink(link, peer);
        auto motion = startGo(link);
        ASSERT_TRUE(peer.waitForMark("moving"));
        if (round % 3 == 1) {
            std::this_thread::sleep_for(std::chrono::microseconds(50 * round));
        }
        EXPECT_NO_THROW(control(link, command)) << "round " << round;
        EXPECT_NO_THROW(motion.get()) << "round " << round;
        EXPECT_EQ(link.getPowerMode(), EpsonPowerMode::HIGH) << "round " << round;
        EXPECT_TRUE(peer.finish()) << "round " << round;
    }
}

// Slow: the control command waits its full five seconds.
TEST(MotionControlSlow, LateReplyAfterAPauseTimeoutIsDropped) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .expectLine(execute("Go P1"))
        .expectLine("$Pause")
        .gate("late", 15s)
        .sendLine("#Pause,0")
        .sendLine("#Execute,0")
        .exchange(execute("Print Power"), "#Execute,\"0\"");
    CellCommandLink link;
    connectLink(link, peer);
    auto motion = startGo(link);
    ASSERT_TRUE(peer.waitForReceived("Go P1"));
    const auto elapsed = timed([&] {
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
            [&] { link.pause(); }, "Timed out waiting for Epson response to $Pause"));
    });
    EXPECT_GE(elapsed, milliseconds(4900));
    peer.openGate("late");
    EXPECT_NO_THROW(motion.get());
    EXPECT_EQ(link.getPowerMode(), EpsonPowerMode::LOW);
    EXPECT_TRUE(peer.finish());
}

std::string printed(const std::string& text) {
    return "#Execute,\"" + text + "\"";
}

// A control command that gave up waiting is owed its reply until that reply has been dropped or
// the connection replaced, whenever the reply comes and whoever reads next.
struct LateReplyCase {
    std::string name;
    std::string command;
    bool motionEndsFirst;  // the motion's reply comes while the control command still waits
    std::string lateLine;  // what the controller finally sends the control command
};

class LateReplySlow : public ::testing::TestWithParam<LateReplyCase> {};

TEST_P(LateReplySlow, ReachesNobodyAndCostsNothing) {
    const auto& c = GetParam();
    ScriptedPeer peer;
    scriptLogin(peer)
        .exchange(execute("Motor On"), "#Execute,0")
        .expectLine(execute("Go P1"))
        .expectLine(c.command);
    if (c.motionEndsFirst) {
        peer.sendLine("#Execute,0").gate("timed out", 15s);
    } else {
        peer.gate("timed out", 15s).sendLine("#Execute,0");
    }
    peer.expectLine(execute("Print Tool"))
        .sendLine(c.lateLine)
        .sendLine(printed("7"))
        .exchange(execute("Print Power"), printed("1"))
        // The motors flag survived: disconnect still switches them off.
        .exchange(execute("Motor Off"), "#Execute,0")
        .exchange("$Logout", "#Logout,0")
        .expectClosed();
    CellCommandLink link;
    connectLink(link, peer);
    link.motorOn();
    auto motion = startGo(link);
    ASSERT_TRUE(peer.waitForReceived("Go P1"));
    const auto elapsed = timed([&] {
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
            [&] { control(link, c.command); },
            "Timed out waiting for Epson response to " + c.command));
    });
    EXPECT_GE(elapsed, milliseconds(4900));
    peer.openGate("timed out");
    ASSERT_EQ(motion.wait_for(10s), std::future_status::ready);
    EXPECT_NO_THROW(motion.get());
    EXPECT_TRUE(link.isConnected());
    EXPECT_EQ(link.getTool(), 7);
    EXPECT_EQ(link.getPowerMode(), EpsonPowerMode::HIGH);
    {
        QuietStdout quiet;
        link.disconnect();
    }
    EXPECT_TRUE(peer.finish());
}

INSTANTIATE_TEST_SUITE_P(
    MotionControl, LateReplySlow,
    ::testing::Values(LateReplyCase{"PauseAnsweredAfterTheMotion", "$Pause", false, "#Pause,0"},
                      LateReplyCase{"PauseRefusedWithoutCode", "$Pause", false, "!Pause"},
                      LateReplyCase{"MotionEndsFirstContinueRefused", "$Continue", true,
                                    "!Continue,21"},
                      LateReplyCase{"MotionEndsFirstAbortAnswered", "$Abort", true, "#Abort,0"}),
    [](const auto& info) { return info.param.name; });

// Slow: the first pause waits its full five seconds.
TEST(MotionControlSlow, ALateReplyIsNeverTakenByALaterControlCommand) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .expectLine(execute("Go P1"))
        .expectLine("$Pause")
        .gate("timed out", 15s)
        .sendLine("#Execute,0")
        .expectLine(execute("Go P2"))
        // The second pause's reply could not be told from the first one's: a status, answered
        // in order, first proves the first one settled.
        .expectLine("$GetStatus")
        .sendLine("#Pause,0")  // owed to the first pause
        .sendLine("#GetStatus,00100000011,0000")
        .expectLine("$Pause")
        .sendLine("!Pause,21")    // the second pause's own reply
        .sendLine("#Execute,0");  // the second motion's
    CellCommandLink link;
    connectLink(link, peer);
    auto first = startGo(link);
    ASSERT_TRUE(peer.waitForReceived("Go P1"));
    EXPECT_THROW(link.pause(), std::runtime_error);
    peer.openGate("timed out");
    EXPECT_NO_THROW(first.get());
    auto second = std::async(std::launch::async, [&link] {
        link.go("P2", false, false, nullopt, nullopt, nullopt, false, nullopt, nullopt, nullopt);
    });
    ASSERT_TRUE(peer.waitForReceived("Go P2"));
    try {
        link.pause();
        ADD_FAILURE() << "the second pause took the first one's reply";
    } catch (const ControllerError& refusal) {
        EXPECT_EQ(refusal.code(), 21);
        EXPECT_EQ(refusal.command(), "$Pause");
    }
    EXPECT_NO_THROW(second.get());
    EXPECT_TRUE(peer.finish());
}

TEST(MotionControl, ALostConnectionFailsThePendingCommandAtOnceAndLeavesNothingOwed) {
    ScriptedPeer peer;
    scriptLogin(peer).expectLine(execute("Go P1")).expectLine("$Pause").close().acceptNext();
    scriptLogin(peer).exchange(execute("Go P1"), "#Execute,0");
    CellCommandLink link;
    connectLink(link, peer);
    auto motion = startGo(link);
    ASSERT_TRUE(peer.waitForReceived("Go P1"));
    std::string pauseError;
    const auto elapsed = timed([&] {
        try {
            link.pause();
        } catch (const ConnectionLostError& error) {
            pauseError = error.what();
        }
    });
    EXPECT_LT(elapsed, milliseconds(1000));
    EXPECT_EQ(pauseError.rfind("Failed while waiting for an Epson Remote Ethernet response: ", 0),
              0u)
        << pauseError;
    try {
        motion.get();
        ADD_FAILURE() << "the motion survived its connection";
    } catch (const ConnectionLostError& error) {
        EXPECT_EQ(error.what(), pauseError);  // the link's own error, for both
    }
    EXPECT_FALSE(link.isConnected());
    {
        QuietStdout quiet;
        link.connect("127.0.0.1", peer.port(), "");
    }
    // Nothing of the old connection is awaited on the new one.
    const auto motionTime = timed([&] { startGo(link).get(); });
    EXPECT_LT(motionTime, milliseconds(1000));
    EXPECT_TRUE(link.isConnected());
    EXPECT_TRUE(peer.finish());
}

TEST(MotionControlSlow, APeerThatStopsReadingHoldsNoWriteBeyondItsDeadline) {
    ScriptedPeer peer;
    scriptLogin(peer).expectLine(execute("Go P1")).mark("moving").gate("done", 15s).close();
    Impl impl;
    connectImpl(impl, peer);
    auto motion = std::async(std::launch::async, [&impl] {
        impl.go("P1", false, false, nullopt, nullopt, nullopt, false, nullopt, nullopt, nullopt);
    });
    ASSERT_TRUE(peer.waitForMark("moving"));
    // Far more than the socket buffers hold: the write blocks until its deadline, and the half
    // that went out leaves the connection unusable, so the motion learns of it at once.
    const std::string endless = "$Pause," + std::string(std::size_t{32} << 20U, 'x');
    const auto elapsed =
        timed([&] { EXPECT_THROW(impl.sendMotionControlCommand_(endless), ConnectionLostError); });
    EXPECT_GE(elapsed, milliseconds(4900));
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    // Instrumented copies of the 32 MiB line take seconds of their own on a loaded machine.
    constexpr auto kBound = milliseconds(9000);
#else
    constexpr auto kBound = milliseconds(6500);
#endif
    EXPECT_LT(elapsed, kBound);
    ASSERT_EQ(motion.wait_for(2s), std::future_status::ready);
    EXPECT_THROW(motion.get(), ConnectionLostError);
    EXPECT_FALSE(impl.connected_);
    peer.openGate("done");
    EXPECT_TRUE(peer.finish());
}

TEST(MotionControl, WriteFailuresGiveTheConnectionUp) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .expectLine(execute("Go P1"))
        .mark("moving")
        .gate("cut", 15s)  // the peer closes only once the link has cut the connection
        .expectClosed()
        .acceptNext()
        .exchange("$Login,", "#Login,0")
        .expectClosed();
    Impl impl;
    connectImpl(impl, peer);
    auto motion = std::async(std::launch::async, [&impl] {
        impl.go("P1", false, false, nullopt, nullopt, nullopt, false, nullopt, nullopt, nullopt);
    });
    ASSERT_TRUE(peer.waitForMark("moving"));
    // Writes now fail (a broken pipe) while the connection still reads: the socket can carry
    // no other exchange, beside a motion or not, and the link must say so.
    impl.socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_send);
    // The peer may close on seeing the end of our stream, and the motion's reader give the
    // connection up first: then the pause finds it gone. Never a bare write error.
    try {
        impl.sendMotionControlCommand_("$Pause");
        ADD_FAILURE() << "the pause was written";
    } catch (const ConnectionLostError&) {
    } catch (const NotConnectedError&) {
    }
    EXPECT_THROW(motion.get(), ConnectionLostError);
    EXPECT_FALSE(impl.connected_);
    peer.openGate("cut");
    EXPECT_FALSE(impl.ledger_.waiting("$Pause"));
    EXPECT_FALSE(impl.ledger_.collides("$Pause"));

    impl.connect("127.0.0.1", peer.port(), "");
    impl.socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_send);
    EXPECT_THROW(impl.command_("$Logout", kCommandTimeout), ConnectionLostError);
    EXPECT_FALSE(impl.connected_);
    EXPECT_FALSE(impl.loggedIn_);
    EXPECT_TRUE(peer.finish());
}

}  // namespace
}  // namespace epson::test
