// The command transport on the wire: framing, reply matching, deadlines and lost connections.

#include <thread>

#include "CommandTestSupport.hpp"

namespace epson::test {
namespace {

using Impl = CellCommandLink::Impl;
using std::chrono::milliseconds;

TEST(Transport, WritesCommandWithCrLfAndReadsRepliesSplitOrCoalesced) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .expectLine("$Execute,\"Print 1\"")
        .sendSegments({"#Exe", "cute,\"", "1\"\r", "\n"})
        .expectLine("$Execute,\"Print 2\"")
        // Two replies in one segment: the second must wait in the buffer for the next command.
        .send("#Execute,\"2\"\r\n#Execute,\"3\"\r\n")
        .expectLine("$Execute,\"Print 3\"");
    Impl impl;
    connectImpl(impl, peer);
    EXPECT_EQ(impl.executeAndGetResult_("Print 1"), "1");
    EXPECT_EQ(impl.executeAndGetResult_("Print 2"), "2");
    EXPECT_EQ(impl.executeAndGetResult_("Print 3"), "3");
    EXPECT_EQ(impl.lastResponse_, "#Execute,\"3\"");
    EXPECT_EQ(impl.lastCommand_, "$Execute,\"Print 3\"");
    EXPECT_TRUE(peer.finish());
}

TEST(Transport, OddQuoteReplyIsContinuedWithTheNextLine) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .expectLine("$Execute,\"Print A\"")
        .send("#Execute,\"first\r\nsecond\r\nthird\"\r\n");
    Impl impl;
    connectImpl(impl, peer);
    EXPECT_EQ(impl.executeAndGetResult_("Print A"), "first\nsecond\nthird");
    EXPECT_EQ(impl.lastResponse_, "#Execute,\"first\nsecond\nthird\"");
}

TEST(Transport, ForeignHashReplyFailsButKeepsTheConnection) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .exchange("$Execute,\"Motor On\"", "#Logout,0")
        // Its own reply is still owed: a status first proves that nothing runs any more.
        .exchange("$GetStatus", "#GetStatus,00100000001,0000")
        .exchange("$Execute,\"Motor On\"", "#Execute,0");
    Impl impl;
    connectImpl(impl, peer);
    EXPECT_TRUE(throwsWithMessage<OutcomeUnknownError>(
        [&] { impl.command_("$Execute,\"Motor On\"", kCommandTimeout); },
        "Unexpected Epson response while waiting for #Execute: #Logout,0 ($Execute,\"Motor On\" "
        "may have taken effect)"));
    EXPECT_TRUE(impl.connected_);
    EXPECT_TRUE(impl.loggedIn_);  // the foreign "#Logout" must not be applied
    EXPECT_NO_THROW(impl.command_("$Execute,\"Motor On\"", kCommandTimeout));
}

TEST(Transport, ErrorReplyAndEmptyLineKeepTheConnection) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .exchange("$Execute,\"Reset\"", "!Execute,15")
        .exchange("$Execute,\"Reset\"", "!,10")
        // A blank line is nobody's reply: the real one, late, must not go to the next command.
        .expectLine("$Execute,\"Reset\"")
        .sendLine("")
        .sendLine("#Execute,0")
        .exchange("$GetStatus", "#GetStatus,00100000001,0000")
        .exchange("$Execute,\"Reset\"", "!Execute,16")
        .expectLine("$Execute,\"Reset\"")
        .sendLine(" \t")
        .exchange("$GetStatus", "#GetStatus,00100000001,0000")
        .exchange("$Execute,\"Reset\"", "#Execute,0");
    Impl impl;
    connectImpl(impl, peer);
    EXPECT_TRUE(throwsWithMessage<ControllerError>(
        [&] { impl.command_("$Execute,\"Reset\"", kCommandTimeout); },
        "Remote command failed: !Execute,15 (command: $Execute,\"Reset\")"));
    // An error line that names no command of its own is this command's error.
    EXPECT_TRUE(throwsWithMessage<ControllerError>(
        [&] { impl.command_("$Execute,\"Reset\"", kCommandTimeout); },
        "Remote command failed: !,10 (command: $Execute,\"Reset\")"));
    EXPECT_TRUE(throwsWithMessage<OutcomeUnknownError>(
        [&] { impl.command_("$Execute,\"Reset\"", kCommandTimeout); },
        "Empty response from Epson controller ($Execute,\"Reset\" may have taken effect)"));
    EXPECT_THROW(impl.command_("$Execute,\"Reset\"", kCommandTimeout), ControllerError);
    EXPECT_THROW(impl.command_("$Execute,\"Reset\"", kCommandTimeout), OutcomeUnknownError);
    EXPECT_NO_THROW(impl.command_("$Execute,\"Reset\"", kCommandTimeout));
    EXPECT_TRUE(peer.finish());
    EXPECT_TRUE(impl.connected_);
}

TEST(Transport, LinesForAPendingControlCommandAreHandedOver) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .expectLine("$Execute,\"Go P1\"")
        .sendLine("!Pause,20")
        .sendLine("#Execute,0")
        .expectLine("$Execute,\"Go P2\"")
        .sendLine("#Pause,0")
        .sendLine("#Pause,1")
        .sendLine("#Execute,0");
    Impl impl;
    connectImpl(impl, peer);
    auto pause = impl.ledger_.open("$Pause", true);
    impl.command_("$Execute,\"Go P1\"", kMotionTimeout);
    EXPECT_EQ(impl.ledger_.collect(pause)->reply, "!Pause,20");
    EXPECT_EQ(impl.lastResponse_, "#Execute,0");
    // A line that nothing owes fails the reader; the reader's own reply stays owed and is
    // dropped when it comes, so the next command still gets its own.
    pause = impl.ledger_.open("$Pause", true);
    EXPECT_TRUE(throwsWithMessage<OutcomeUnknownError>(
        [&] { impl.command_("$Execute,\"Go P2\"", kMotionTimeout); },
        "Unexpected Epson response while waiting for #Execute: #Pause,1 ($Execute,\"Go P2\" may "
        "have taken effect)"));
    EXPECT_EQ(impl.ledger_.collect(pause)->reply, "#Pause,0");
    EXPECT_TRUE(impl.ledger_.collides("$Execute,\"Print 1\""));
    EXPECT_TRUE(peer.finish());
}

// The ledger alone, without a socket: which entry each line goes to.
TEST(ReplyLedgerCore, EachLineGoesToTheOldestOwedEntryOfItsName) {
    using Verdict = ReplyLedger::Verdict;
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, char>> entries;   // command, 'r'eader 's'ide 'g'ave up
        std::vector<std::pair<std::string, Verdict>> lines;  // decided for the reader
        std::vector<std::string> collidingAfter;             // commands that still collide
    };
    const std::vector<Case> cases = {
        {"own reply", {{"$Execute,\"Go P1\"", 'r'}}, {{"#Execute,0", Verdict::Own}}, {}},
        {"side path handed over",
         {{"$Execute,\"Go P1\"", 'r'}, {"$Pause", 's'}},
         {{"#Pause,0", Verdict::HandedOver}, {"#Execute,0", Verdict::Own}},
         {}},
        {"error named for the motion stays the motion's",
         {{"$Execute,\"Go P1\"", 'r'}, {"$Pause", 's'}},
         {{"!Execute,99", Verdict::Own}},
         {}},
        {"late reply of a caller that gave up is dropped, the later one delivered",
         {{"$Execute,\"Go P1\"", 'r'}, {"$Pause", 'g'}, {"$Pause", 's'}},
         {{"#Pause,0", Verdict::Dropped}, {"!Pause,20", Verdict::HandedOver}},
         {}},
        {"a later reply expires the entries given up before it",
         {{"$Pause", 'g'}, {"$Continue", 'g'}, {"$GetStatus", 'r'}},
         {{"#GetStatus,00100000001,0000", Verdict::Own}},
         {}},
        {"a given-up $Execute survives later control replies: it may be the running motion",
         {{"$Execute,\"Go P1\"", 'g'}, {"$Pause", 'r'}},
         {{"#Pause,0", Verdict::Own}},
         {"$Execute,\"Print 1\""}},
        {"unknown line fails the reader and keeps its entry owed",
         {{"$Execute,\"Go P1\"", 'r'}},
         {{"#Bogus", Verdict::Unknown}, {"x1", Verdict::Unknown}},
         {"$Execute,\"Print 1\""}},
        {"an error that names nobody, with one entry owed, is that entry's",
         {{"$Execute,\"Reset\"", 'r'}},
         {{"!,10", Verdict::Own}},
         {}},
        {"a blank or whitespace line is nobody's: the reader fails, its entry stays owed",
         {{"$Execute,\"Reset\"", 'r'}, {"$Pause", 's'}},
         {{"", Verdict::Blank}, {" \t", Verdict::Blank}, {"#Pause,0", Verdict::HandedOver}},
         {"$Execute,\"Print 1\""}},
        {"an error that names nobody, with two owed, cannot be told",
         {{"$Execute,\"Go P1\"", 'r'}, {"$Pause", 's'}},
         {{"!99", Verdict::Ambiguous}},
         {}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        ReplyLedger ledger;
        ReplyLedger::Ticket reader = 0;
        for (const auto& [command, kind] : test.entries) {
            const auto ticket = ledger.open(command, kind == 's');
            if (kind == 'r') {
                reader = ticket;
            } else if (kind == 'g') {
                ledger.giveUp(ticket);
            }
        }
        for (const auto& [line, verdict] : test.lines) {
            EXPECT_EQ(ledger.decide(line, reader), verdict) << line;
        }
        for (const std::string command : {"$Pause", "$Continue", "$Execute,\"Print 1\""}) {
            const bool expected = std::find(test.collidingAfter.begin(), test.collidingAfter.end(),
                                            command) != test.collidingAfter.end();
            EXPECT_EQ(ledger.collides(command), expected) << command;
        }
    }
}

TEST(Transport, EmptyCommandWritesTheTerminatorThenFailsToFormItsEcho) {
    ScriptedPeer peer;
    scriptLogin(peer).expect("\r\n");
    Impl impl;
    connectImpl(impl, peer);
    EXPECT_THROW(impl.command_("", kCommandTimeout), std::out_of_range);
    EXPECT_TRUE(peer.finish());
}

TEST(Transport, UntransmittableCommandIsRefusedBeforeWriting) {
    ScriptedPeer peer;
    scriptLogin(peer).expectSilence(200ms);
    Impl impl;
    connectImpl(impl, peer);
    EXPECT_TRUE(throwsWithMessage<std::invalid_argument>(
        [&] { impl.command_(std::string("$Execute,\"Print 1\0\"", 18), kCommandTimeout); },
        "command must not contain NUL characters"));
    EXPECT_TRUE(throwsWithMessage<std::invalid_argument>(
        [&] { impl.command_("$" + std::string(kMaxCommandBytes, 'x'), kCommandTimeout); },
        "command must not be longer than 65536 bytes"));
    EXPECT_TRUE(impl.connected_);
    EXPECT_TRUE(peer.finish());
}

TEST(Transport, CommandWhileDisconnectedSendsNothing) {
    Impl impl;
    EXPECT_TRUE(
        throwsWithMessage<std::runtime_error>([&] { impl.command_("$Logout", kCommandTimeout); },
                                              "command() was called but socket not connected"));
}

TEST(Transport, PeerClosingIsAReadErrorThatDropsTheLink) {
    ScriptedPeer peer;
    scriptLogin(peer).expectLine("$Execute,\"Motor On\"").close();
    Impl impl;
    connectImpl(impl, peer);
    impl.motorsOn_ = true;
    impl.tcpOverrideActive_ = true;
    impl.savedToolNumber_ = 3;
    try {
        impl.command_("$Execute,\"Motor On\"", kCommandTimeout);
        FAIL() << "expected a read error";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what())
                      .rfind("Failed while waiting for an Epson Remote Ethernet response: ", 0),
                  0u)
            << error.what();
    }
    EXPECT_FALSE(impl.connected_);
    EXPECT_FALSE(impl.loggedIn_);
    EXPECT_FALSE(impl.motorsOn_);
    EXPECT_FALSE(impl.tcpOverrideActive_);
    EXPECT_FALSE(impl.savedToolNumber_);
    EXPECT_TRUE(
        throwsWithMessage<std::runtime_error>([&] { impl.command_("$Logout", kCommandTimeout); },
                                              "command() was called but socket not connected"));
}

TEST(Transport, EndlessReplyIsCutAtOneMebibyte) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .expectLine("$Execute,\"Print Power\"")
        .send("#Execute,\"" + std::string(kMaxReplyBytes + 10, 'x'))
        .expectClosed();
    Impl impl;
    connectImpl(impl, peer);
    EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
        [&] { impl.executeAndGetResult_("Print Power"); },
        "Failed while waiting for an Epson Remote Ethernet response: reply exceeds 1048576 "
        "bytes without a line end"));
    EXPECT_FALSE(impl.connected_);
    EXPECT_FALSE(impl.loggedIn_);
    EXPECT_TRUE(peer.finish());
}

TEST(Transport, EndlessQuotedReplyIsCutAtOneMebibyte) {
    // Every line is short, but an unclosed quote keeps joining them.
    ScriptedPeer peer;
    scriptLogin(peer).expectLine("$Execute,\"Print Power\"").send("#Execute,\"open\r\n");
    std::string line(1000, 'y');
    line += "\r\n";
    std::string flood;
    for (int i = 0; i < 1100; ++i) {
        flood += line;
    }
    peer.send(flood).expectClosed();
    Impl impl;
    connectImpl(impl, peer);
    EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
        [&] { impl.executeAndGetResult_("Print Power"); },
        "Failed while waiting for an Epson Remote Ethernet response: reply exceeds 1048576 "
        "bytes without a line end"));
    EXPECT_FALSE(impl.connected_);
}

TEST(Transport, StaleBytesOfAnEarlierConnectionAreNotAReply) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .expectLine("$Execute,\"Print Power\"")
        .send("#Execute,\"1")  // an unfinished line, then the connection is dropped
        .close()
        .acceptNext();
    scriptLogin(peer).exchange("$Execute,\"Print Power\"", "#Execute,\"0\"");
    Impl impl;
    connectImpl(impl, peer);
    EXPECT_THROW(impl.executeAndGetResult_("Print Power"), std::runtime_error);
    EXPECT_FALSE(impl.connected_);
    impl.connect("127.0.0.1", peer.port(), "");
    EXPECT_EQ(impl.executeAndGetResult_("Print Power"), "0");
    EXPECT_TRUE(peer.finish());
}

// Slow: the deadline is five seconds.
TEST(TransportSlow, ReplyTimeoutClosesTheLinkAndNamesTheCommand) {
    ScriptedPeer peer;
    scriptLogin(peer).expectLine("$Execute,\"Print Power\"").expectClosed(10s);
    Impl impl;
    connectImpl(impl, peer);
    const auto elapsed = timed([&] {
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
            [&] { impl.executeAndGetResult_("Print Power"); },
            "Timed out waiting for an Epson Remote Ethernet response to $Execute,\"Print "
            "Power\" after 5000 ms"));
    });
    EXPECT_GE(elapsed, milliseconds(4900));
    EXPECT_LT(elapsed, milliseconds(7000));
    EXPECT_FALSE(impl.connected_);
    EXPECT_FALSE(impl.loggedIn_);
    EXPECT_TRUE(peer.finish());
}

}  // namespace
}  // namespace epson::test
