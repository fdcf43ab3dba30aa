// Digital I/O against the scripted peer: the statements on the wire, the printed results
// accepted and refused, the ranges checked before anything is sent, and the refusal beside a
// running motion.

#include <future>
#include <optional>

#include "CommandTestSupport.hpp"

namespace epson::test {
namespace {

std::string execute(const std::string& statement) {
    return "$Execute,\"" + statement + "\"";
}

std::string printed(const std::string& text) {
    return "#Execute,\"" + text + "\"";
}

using Call = std::function<int(CellCommandLink&)>;

Call setBit(int bit, bool on) {
    return [=](CellCommandLink& link) {
        link.setOutputBit(bit, on);
        return -1;
    };
}

TEST(DigitalIo, EachOperationSendsItsStatementAndReadsItsResult) {
    struct Case {
        Call call;
        std::string command;
        std::string reply;
        int expected;  // -1: the call returns nothing
    };
    const std::vector<Case> cases = {
        {setBit(0, true), execute("On 0"), "#Execute,0", -1},
        {setBit(511, false), execute("Off 511"), "#Execute,0", -1},
        {[](CellCommandLink& l) { return int(l.getOutputBit(3)); }, execute("Print Oport(3)"),
         printed("1"), 1},
        {[](CellCommandLink& l) { return int(l.getOutputBit(3)); }, execute("Print Oport(3)"),
         printed(" False "), 0},
        {[](CellCommandLink& l) { return int(l.getInputBit(0)); }, execute("Print Sw(0)"),
         printed("-1"), 1},
        {[](CellCommandLink& l) { return int(l.getInputBit(511)); }, execute("Print Sw(511)"),
         printed("0"), 0},
        {[](CellCommandLink& l) { return l.getInputByte(63); }, execute("Print In(63)"),
         printed("255"), 255},
        {[](CellCommandLink& l) { return l.getOutputByte(0); }, execute("Print Out(0)"),
         printed(" 5 "), 5},
        {[](CellCommandLink& l) { return l.getInputWord(31); }, execute("Print InW(31)"),
         printed("65535"), 65535},
        {[](CellCommandLink& l) { return l.getOutputWord(2); }, execute("Print OutW(2)"),
         printed("0"), 0},
    };
    ScriptedPeer peer;
    scriptLogin(peer);
    for (const auto& c : cases) {
        peer.exchange(c.command, c.reply);
    }
    CellCommandLink link;
    connectLink(link, peer);
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(link), c.expected) << c.command;
    }
    EXPECT_TRUE(peer.finish());
}

TEST(DigitalIo, MalformedResultsAndRefusalsThrowQuotingTheText) {
    struct Case {
        Call call;
        std::string command;
        std::string reply;
        std::string message;
    };
    const Call inputBit = [](CellCommandLink& l) { return int(l.getInputBit(1)); };
    const Call inputByte = [](CellCommandLink& l) { return l.getInputByte(1); };
    const Call outputWord = [](CellCommandLink& l) { return l.getOutputWord(1); };
    const std::vector<Case> cases = {
        {inputBit, execute("Print Sw(1)"), printed("2"),
         "Failed to parse Sw(1) response as a bit: \"2\""},
        {inputBit, execute("Print Sw(1)"), printed(""),
         "Failed to parse Sw(1) response as a bit: \"\""},
        {inputByte, execute("Print In(1)"), printed("256"),
         "Failed to parse In(1) response as a value from 0 to 255: \"256\""},
        {inputByte, execute("Print In(1)"), printed("-1"),
         "Failed to parse In(1) response as a value from 0 to 255: \"-1\""},
        {inputByte, execute("Print In(1)"), printed("1.5"),
         "Failed to parse In(1) response as a value from 0 to 255: \"1.5\""},
        {outputWord, execute("Print OutW(1)"), printed("65536"),
         "Failed to parse OutW(1) response as a value from 0 to 65535: \"65536\""},
    };
    ScriptedPeer peer;
    scriptLogin(peer);
    for (const auto& c : cases) {
        peer.exchange(c.command, c.reply);
    }
    CellCommandLink link;
    connectLink(link, peer);
    for (const auto& c : cases) {
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>([&] { c.call(link); }, c.message))
            << c.command;
    }
    // A bit the controller lacks is its refusal; the link's range only keeps absurd numbers off.
    ScriptedPeer refusing;
    scriptLogin(refusing).exchange(execute("On 15"), "!Execute,15");
    CellCommandLink second;
    connectLink(second, refusing);
    try {
        second.setOutputBit(15, true);
        ADD_FAILURE() << "the refusal was not thrown";
    } catch (const ControllerError& error) {
        EXPECT_EQ(error.code(), 15);
        EXPECT_EQ(error.command(), execute("On 15"));
    }
    EXPECT_TRUE(refusing.finish());
    EXPECT_TRUE(peer.finish());
}

TEST(DigitalIo, NumbersOutOfRangeAreRefusedBeforeAnythingIsSent) {
    const std::vector<std::pair<Call, std::string>> cases = {
        {setBit(-1, true), "I/O bit number must be between 0 and 511, got -1"},
        {setBit(512, false), "I/O bit number must be between 0 and 511, got 512"},
        {[](CellCommandLink& l) { return int(l.getOutputBit(512)); },
         "I/O bit number must be between 0 and 511, got 512"},
        {[](CellCommandLink& l) { return int(l.getInputBit(-5)); },
         "I/O bit number must be between 0 and 511, got -5"},
        {[](CellCommandLink& l) { return l.getInputByte(64); },
         "I/O byte port number must be between 0 and 63, got 64"},
        {[](CellCommandLink& l) { return l.getOutputByte(-1); },
         "I/O byte port number must be between 0 and 63, got -1"},
        {[](CellCommandLink& l) { return l.getInputWord(32); },
         "I/O word port number must be between 0 and 31, got 32"},
        {[](CellCommandLink& l) { return l.getOutputWord(-1); },
         "I/O word port number must be between 0 and 31, got -1"},
    };
    // The one exchange after the refused calls fails the script if any of them sent a byte.
    ScriptedPeer peer;
    scriptLogin(peer).exchange(execute("Print Sw(511)"), printed("1"));
    CellCommandLink link;
    connectLink(link, peer);
    for (const auto& [call, message] : cases) {
        EXPECT_TRUE(throwsWithMessage<std::out_of_range>([&] { call(link); }, message)) << message;
    }
    EXPECT_TRUE(link.getInputBit(511));
    EXPECT_TRUE(peer.finish());
}

TEST(DigitalIo, RefusedAtOnceBesideARunningMotionAndSentAfterIt) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .expectLine(execute("Go P1"))
        .mark("moving")
        .gate("done", 15s)
        .sendLine("#Execute,0")
        .exchange(execute("On 2"), "#Execute,0");
    CellCommandLink link;
    connectLink(link, peer);
    auto motion = std::async(std::launch::async, [&link] {
        link.go("P1", false, false, std::nullopt, std::nullopt, std::nullopt, false, std::nullopt,
                std::nullopt, std::nullopt);
    });
    ASSERT_TRUE(peer.waitForMark("moving"));
    const std::string message =
        "Digital I/O is refused while a motion is in progress: the controller runs one $Execute "
        "at a time; switch an output during a motion in its parallel-processing clause";
    const auto elapsed = timed([&] {
        EXPECT_TRUE(
            throwsWithMessage<std::runtime_error>([&] { link.setOutputBit(2, true); }, message));
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>([&] { link.getInputWord(0); }, message));
    });
    EXPECT_LT(elapsed, std::chrono::milliseconds(500));
    peer.openGate("done");
    motion.get();
    link.setOutputBit(2, true);
    EXPECT_TRUE(peer.finish());
}

}  // namespace
}  // namespace epson::test
