// The simulator's Remote Ethernet side: reply forms, error codes, login rules, one client at a
// time, the command log and the reply rules that tests use to fake a misbehaving controller.

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "epson_sim/Simulator.hpp"
#include "sim_test_client.hpp"

namespace {

using namespace sim_test;
using epson::sim::MatchMode;
using epson::sim::Simulator;

class SimProtocol : public ::testing::Test {
  protected:
    void SetUp() override { sim_.start(); }

    Simulator sim_{fastOptions()};
};

struct Exchange {
    std::string sent;
    std::string expected;
    const char* why;
};

std::string ex(const std::string& statement) {
    return "$Execute,\"" + statement + "\"";
}
std::string printed(const std::string& text) {
    return "#Execute,\"" + text + "\"";
}

void runExchanges(Client& client, const std::vector<Exchange>& exchanges) {
    for (const auto& e : exchanges) {
        EXPECT_EQ(client.command(e.sent), e.expected) << e.why << " (sent: " << e.sent << ")";
    }
}

TEST_F(SimProtocol, ReplyFormsAndErrorCodes) {
    Client client(sim_.commandPort());
    login(client);
    runExchanges(client,
                 {
                     {ex("Print Power"), printed("0"), "Print answers its text in quotes"},
                     {ex("Power High"), "#Execute,0", "a statement answers 0"},
                     {ex("Print Power"), printed("1"), "the statement took effect"},
                     {"$execute,\"print power\"", "#execute,\"1\"",
                      "keywords ignore case; the echo keeps the client's spelling"},
                     {ex("Print"), printed(""), "an empty Print prints nothing"},
                     {"Execute,\"Print Power\"", "!Execute,10", "no leading $"},
                     {"", "!,10", "an empty line has no $ either"},
                     {"$Fly", "!Fly,11", "unknown command"},
                     {"$Execute,Print Power", "!Execute,12", "statement not in quotes"},
                     {"$Execute", "!Execute,12", "no statement at all"},
                     {"$Execute,\"Print Power", "!Execute,12", "unterminated quotes"},
                     {"$Pause,now", "!Pause,12", "parameters on a command that takes none"},
                     {ex("Speed 0"), "!Execute,15", "Speed below 1"},
                     {ex("Speed 101"), "!Execute,15", "Speed above 100"},
                     {ex("Speed 12.5"), "!Execute,15", "Speed must be whole"},
                     {ex("Accel 500, 500"), "!Execute,15", "Accel above AccelMax"},
                     {ex("SpeedS 0"), "!Execute,15", "SpeedS must be positive"},
                     {ex("Tool 16"), "!Execute,15", "Tool number above 15"},
                     {ex("TLSet 0, XY(0,0,0,0,0,0)"), "!Execute,15", "Tool 0 is the flange"},
                     {ex("TLClr 16"), "!Execute,15", "Tool number above 15"},
                     {ex("Print Agl(7)"), "!Execute,15", "six joints only"},
                     {ex("Print Stat(3)"), "!Execute,15", "Stat(0) only"},
                     {ex("XYLim 10,0,0,10,0,10"), "!Execute,15", "XYLim minimum above maximum"},
                     {ex("XYLimMode 2"), "!Execute,15", "XYLimMode is 0 or 1"},
                     {ex("Print PAgl(XY(5000,0,0,0,0,0),1)"), "!Execute,15", "unreachable"},
                     {ex("Frobnicate 3"), "!Execute,14", "unknown statement"},
                     {ex("Print Frobnicate"), "!Execute,14", "unknown function"},
                     {ex("Print Here"), "!Execute,14", "a point is not printable"},
                     {ex("Power Medium"), "!Execute,14", "Power Low or High"},
                     {ex("Speed 50,"), "!Execute,14", "dangling comma"},
                     {ex("Accel 50"), "!Execute,14", "Accel needs acceleration and deceleration"},
                     {ex("Tool 3"), "!Execute,14", "selecting an undefined Tool"},
                     {ex("Print CX(TLSet(4))"), "!Execute,14", "reading an undefined Tool"},
                     {ex("Go P7"), "!Execute,14", "unknown point"},
                     {ex("Go XY(350,0,500,0,0,180) FAST"), "!Execute,14", "unknown modifier"},
                     {ex("Go XY(350,0,500,0,0,180) ROT"), "!Execute,14", "ROT belongs to Move"},
                     {ex("Print Power !D10!"), "!Execute,14", "parallel text outside a motion"},
                     {ex("Go XY(350,0,500,0,0,180)"), "!Execute,20", "motors off"},
                     {ex("Speed 40"), "#Execute,0", "setting before a refused change"},
                     {ex("Speed 60, 0"), "!Execute,15", "one bad value refuses all"},
                     {ex("Print Speed"), printed("40"), "a refused statement changes nothing"},
                     {ex("Motor On"), "#Execute,0", "motors on"},
                     {ex("Go XY(350,0,500,0,0,180) CP LJM 1 Till Sw(1) = On !D10; On 2! SYNC"),
                      "#Execute,0", "modifiers accepted; the reply comes when the motion ends"},
                     {ex("Move XY(350,20,500,0,0,180) ROT ECP CP Find Sw(2) SYNC"), "#Execute,0",
                      "Move with its modifiers"},
                     {"$Pause", "!Pause,20", "no motion: nothing to pause"},
                     {"$Continue", "!Continue,20", "nothing paused: nothing to continue"},
                     {"$Abort", "#Abort,0", "no motion: nothing to abort, no error"},
                     {"$Abort,now", "!Abort,12", "Abort takes no parameters"},
                     {"$GetStatus", "#GetStatus,00100000001,0000", "Auto and Ready"},
                     {ex("Print CX(" + std::string(10000, '(') + "Here))"), "!Execute,14",
                      "nesting is bounded, not recursed into until the stack runs out"},
                     {ex("Go " +
                         [] {
                             std::string nested;
                             for (int i = 0; i < 15000; ++i) {
                                 nested += "LJM(";
                             }
                             return nested;
                         }() +
                         "Here)"),
                      "!Execute,14", "nested LJM likewise"},
                     {ex("SpeedS 0.00000000000000001"), "!Execute,15",
                      "SpeedS below its minimum: no overflowing profile"},
                     {ex("AccelS 0.5"), "!Execute,15", "AccelS below its minimum"},
                     {ex("Print SpeedS"), printed("50"), "the refused values changed nothing"},
                 });
}

TEST_F(SimProtocol, MotionModifiersAreRecordedNotExecuted) {
    Client client(sim_.commandPort());
    login(client);
    ASSERT_EQ(client.execute("Motor On"), "#Execute,0");
    ASSERT_EQ(client.execute("Go XY(350,0,500,0,0,180) CP LJM 1 Till Sw(1) = On !D10; On 2! SYNC"),
              "#Execute,0");
    auto motion = sim_.lastMotion();
    ASSERT_TRUE(motion.has_value());
    EXPECT_EQ(motion->kind, epson::sim::MotionKind::Go);
    EXPECT_TRUE(motion->cp);
    EXPECT_TRUE(motion->ljm);
    EXPECT_EQ(motion->orientationFlag, 1);
    EXPECT_TRUE(motion->sync);
    EXPECT_EQ(motion->searchClause, "Till Sw(1) = On");
    EXPECT_EQ(motion->parallelStatements, "D10; On 2");

    ASSERT_EQ(client.execute("Move XY(350,20,500,0,0,180) ROT ECP Find Sw(2)"), "#Execute,0");
    motion = sim_.lastMotion();
    ASSERT_TRUE(motion.has_value());
    EXPECT_EQ(motion->kind, epson::sim::MotionKind::Move);
    EXPECT_TRUE(motion->rot);
    EXPECT_TRUE(motion->ecp);
    EXPECT_FALSE(motion->cp);
    EXPECT_EQ(motion->searchClause, "Find Sw(2)");
    EXPECT_TRUE(motion->parallelStatements.empty());
}

TEST_F(SimProtocol, PrintFormats) {
    sim_.setPoint("P5", {300.25, -12.5, 400, 0, 0, 180});
    Client client(sim_.commandPort());
    login(client);
    struct Case {
        std::vector<std::string> setup;
        std::string expressions;
        std::string expected;
        const char* why;
    };
    const std::vector<Case> cases = {
        {{}, "Tool", "0", "integers plainly"},
        {{},
         "Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6)",
         "0,0,0,0,-90,0",
         "values joined by commas, no blanks"},
        {{},
         "CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)",
         "350,0,535,0,0,180",
         "the flange pose with Tool 0"},
        {{"TLSet 2, XY(10,-20,300,30,20,10)", "Tool 2"}, "Tool", "2", "Tool selects"},
        {{},
         "CX(TLSet(2)),CY(TLSet(2)),CZ(TLSet(2)),CU(TLSet(2)),CV(TLSet(2)),CW(TLSet(2))",
         "10,-20,300,30,20,10",
         "Tool definition read back"},
        {{"TLSet 3, XY(0.123456789,1e-05,100.5,0,0,0)"},
         "CX(TLSet(3)),CY(TLSet(3)),CZ(TLSet(3))",
         "0.123457,0.00001,100.5",
         "six decimals at most, zeros trimmed"},
        {{"TLSet 4, XY(0,0,100,0,0,0)", "Tool 4"},
         "CX(Here),CY(Here),CZ(Here)",
         "350,0,435",
         "the selected Tool applies to Here"},
        {{"Tool 0"}, "TLDef(2),TLDef(5)", "True,False", "Booleans as True/False"},
        {{"TLClr 2"}, "TLDef(2)", "False", "TLClr undefines"},
        {{}, "AccelMax(1),AccelMax(2)", "120,120", "PTP acceleration limits"},
        {{"XYLimMode 1", "XYLim -300,500.5,-400,400,0,0.10000000000000001"},
         "XYLimMode",
         "1",
         "strict mode"},
        {{},
         "CX(XYLim(1)),CX(XYLim(2)),CY(XYLim(1)),CY(XYLim(2)),CZ(XYLim(1)),CZ(XYLim(2))",
         "-300,500.5,-400,400,0,0.1",
         "box corners read back"},
        {{},
         "Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)",
         "0,0,False,False,False,26,0,0",
         "status of an idle controller"},
        {{"Motor On", "Power High"},
         "Power,Motor,RobotInfo(0)",
         "1,True,12",
         "RobotInfo bits 2 (motors) and 3 (power high)"},
        {{"Speed 30", "Accel 40, 50", "SpeedS 123.5", "AccelS 1000, 2000"},
         "Speed,Accel(1),Accel(2),SpeedS,AccelS(1),AccelS(2)",
         "30,40,50,123.5,1000,2000",
         "motion settings"},
        {{"AccelS 300"}, "AccelS(1),AccelS(2)", "300,300", "one AccelS value sets both"},
        {{},
         "CX(XY(1,2,3,4,5,6) +X(10)),CZ(XY(1,2,3,4,5,6) :Z(-7)),CU(XY(1,2,3,4))",
         "11,-7,4",
         "point offsets, replacements and four-value XY"},
        {{}, "CX(P5),CY(P(5)),CZ(p5)", "300.25,-12.5,400", "named points"},
        {{}, "1.5,-2,3e2", "1.5,-2,300", "number literals"},
        {{},
         "PAgl(LJM(XY(350,0,535,0,0,180),AglToPls(0,0,0,0,-90,500)),5)",
         "-90",
         "an LJM reference may lie outside the joint limits"},
    };
    for (const auto& c : cases) {
        for (const auto& statement : c.setup) {
            ASSERT_EQ(client.execute(statement), "#Execute,0") << statement;
        }
        EXPECT_EQ(client.print(c.expressions), c.expected)
            << c.why << " (Print " << c.expressions << ")";
    }
}

TEST_F(SimProtocol, LoginRules) {
    struct Case {
        std::optional<std::string> password;
        std::vector<Exchange> exchanges;
    };
    const std::vector<Case> cases = {
        {std::nullopt,
         {
             {ex("Print Power"), "!Execute,11", "Execute before login"},
             {"$Pause", "!Pause,11", "Pause before login"},
             {"$Logout", "!Logout,11", "Logout before login"},
             {"$Login,anything", "#Login,0", "any password when none is configured"},
             {ex("Print Power"), printed("0"), "logged in"},
             {"$Logout", "#Logout,0", "logout"},
             {ex("Print Power"), "!Execute,11", "logged out again"},
             {"$Login", "#Login,0", "a bare $Login is an empty password"},
         }},
        {"secret",
         {
             {"$Login,", "!Login,13", "empty password"},
             {"$Login,Secret", "!Login,13", "passwords are case-sensitive"},
             {"$Login,secret,", "!Login,13", "the whole parameter is the password"},
             {ex("Print Tool"), "!Execute,11", "a refused login does not log in"},
             {"$Login,secret", "#Login,0", "the configured password"},
             {ex("Print Tool"), printed("0"), "logged in"},
         }},
    };
    for (const auto& c : cases) {
        auto options = fastOptions();
        options.password = c.password;
        Simulator sim(options);
        sim.start();
        Client client(sim.commandPort());
        ASSERT_TRUE(client.connected());
        runExchanges(client, c.exchanges);
    }

    // A login belongs to its connection.
    Client first(sim_.commandPort());
    login(first);
    EXPECT_TRUE(sim_.snapshot().loggedIn);
    first.close();
    ASSERT_TRUE(eventually([&] { return !sim_.commandClientConnected(); }));
    Client second(sim_.commandPort());
    EXPECT_EQ(second.execute("Print Power"), "!Execute,11");
}

TEST_F(SimProtocol, OneCommandClientAtATime) {
    Client first(sim_.commandPort());
    login(first);
    Client second(sim_.commandPort());
    ASSERT_TRUE(second.connected()) << "the listener accepts, then closes";
    EXPECT_TRUE(second.closedByPeer(2s));
    EXPECT_EQ(sim_.refusedCommandConnections(), 1u);
    EXPECT_EQ(first.execute("Print Tool"), printed("0")) << "the first client is unaffected";
    EXPECT_EQ(sim_.commandLog(), (std::vector<std::string>{"$Login,", ex("Print Tool")}))
        << "nothing was read from the refused connection";

    // Once the first client has gone, the next one is served, even before the simulator has
    // read the first one's end of stream.
    first.close();
    Client third(sim_.commandPort());
    login(third);
    EXPECT_EQ(sim_.refusedCommandConnections(), 1u);
}

TEST_F(SimProtocol, CommandLogIsExactAndWaitable) {
    Client client(sim_.commandPort());
    client.sendRaw("$Login,pw\r\n");
    ASSERT_EQ(client.readLine(), "#Login,0");
    client.sendRaw("$Execute,\"Print  Power \"\n");  // bare LF, blanks kept
    ASSERT_EQ(client.readLine(), printed("0"));
    client.sendRaw("$Execute,\"Print Tool\"\r\n$Execute,\"Print SysErr\"\r\n");
    ASSERT_EQ(client.readLine(), printed("0"));
    ASSERT_EQ(client.readLine(), printed("0"));
    EXPECT_EQ(sim_.commandLog(), (std::vector<std::string>{"$Login,pw", ex("Print  Power "),
                                                           ex("Print Tool"), ex("Print SysErr")}));

    EXPECT_EQ(sim_.waitForCommand("Print", 0ms), ex("Print  Power "));
    EXPECT_EQ(sim_.waitForCommand("Print", 0ms, MatchMode::Substring, 2), ex("Print Tool"))
        << "from skips earlier lines";
    EXPECT_EQ(sim_.waitForCommand(R"re(Print (SysErr|Speed)"$)re", 0ms, MatchMode::Regex),
              ex("Print SysErr"));

    // A line that arrives while waiting ends the wait.
    auto waiter =
        std::async(std::launch::async, [&] { return sim_.waitForCommand("$Logout", 3s); });
    ASSERT_EQ(waiter.wait_for(50ms), std::future_status::timeout) << "it waits";
    client.sendLine("$Logout");
    EXPECT_EQ(waiter.get(), "$Logout");

    // A wait for a line that never comes ends at its deadline.
    const auto start = Clock::now();
    EXPECT_EQ(sim_.waitForCommand("$Never", 150ms), std::nullopt);
    const double waited = seconds(Clock::now() - start);
    EXPECT_GE(waited, 0.14);
    EXPECT_LT(waited, 1.0);

    sim_.clearLog();
    EXPECT_TRUE(sim_.commandLog().empty());
    EXPECT_THROW(sim_.waitForCommand("(", 0ms, MatchMode::Regex), std::invalid_argument);
}

TEST_F(SimProtocol, RulesShapeReplies) {
    Client client(sim_.commandPort());
    login(client);

    // delay: executed at once, answered later.
    // The delay is long so that a slow (sanitized, loaded) run still sees the gap.
    sim_.delayReply("Motor On", 1000ms);
    const auto sent = Clock::now();
    client.sendLine(ex("Motor On"));
    EXPECT_TRUE(eventually([&] { return sim_.snapshot().motorsOn; }, 900ms))
        << "the command runs before its reply";
    EXPECT_EQ(client.readLine(), "#Execute,0");
    EXPECT_GE(seconds(Clock::now() - sent), 0.98);

    // answer: two canned replies in one segment, then a silent turn so that the second one
    // answers the next command; the command itself is not executed.
    sim_.answer("Power High", "#Execute,0\n#Execute,0", MatchMode::Substring, 1);
    sim_.goSilent("Power High", MatchMode::Substring, 1);
    client.sendLine(ex("Power High"));
    EXPECT_EQ(client.readSome(2s), "#Execute,0\r\n#Execute,0\r\n");
    client.sendLine(ex("Power High"));
    EXPECT_TRUE(client.quietFor(150ms)) << "the silent turn";
    EXPECT_EQ(sim_.snapshot().power, 0) << "answered, not executed";
    EXPECT_EQ(client.execute("Power High"), "#Execute,0") << "both rules are spent";
    EXPECT_EQ(sim_.snapshot().power, 1);

    // raw answer and regular expressions.
    sim_.answer(R"re(^\$Execute,"Print (Tool|Power)"$)re", "#Execute,\"9\"\r\n", MatchMode::Regex,
                std::nullopt, true);
    EXPECT_EQ(client.print("Tool"), "9");
    EXPECT_EQ(client.print("Power"), "9");
    EXPECT_EQ(client.print("SysErr"), "0") << "the pattern does not match";

    // silent: neither executed nor answered.
    sim_.goSilent("Motor Off");
    client.sendLine(ex("Motor Off"));
    EXPECT_TRUE(client.quietFor(200ms));
    EXPECT_TRUE(sim_.snapshot().motorsOn);
    EXPECT_TRUE(sim_.waitForCommand("Motor Off", 2s).has_value()) << "but logged";

    // clearRules restores ordinary answers.
    sim_.clearRules();
    EXPECT_EQ(client.print("Tool"), "0");

    // drop: the connection closes instead of an answer.
    sim_.dropConnection("Reset");
    client.sendLine(ex("Reset"));
    EXPECT_TRUE(client.closedByPeer(2s));
    EXPECT_TRUE(eventually([&] { return !sim_.commandClientConnected(); }));
    Client next(sim_.commandPort());
    login(next);
    EXPECT_EQ(next.execute("Print Tool"), printed("0"));
}

TEST_F(SimProtocol, SplitAndCoalescedReplies) {
    Client client(sim_.commandPort());
    login(client);

    sim_.splitReplies(3, 40ms);
    const std::string expected = "#Execute,\"0\"\r\n";
    const auto sent = Clock::now();
    client.sendLine(ex("Print Power"));
    std::vector<std::string> segments;
    std::string received;
    while (received.size() < expected.size()) {
        const std::string piece = client.readSome(2s);
        ASSERT_FALSE(piece.empty()) << "reply incomplete: " << received;
        segments.push_back(piece);
        received += piece;
    }
    EXPECT_EQ(received, expected);
    EXPECT_EQ(segments.size(), 3u);
    EXPECT_GE(seconds(Clock::now() - sent), 0.07) << "two gaps of 40 ms";

    sim_.clearRules();
    sim_.coalesceReplies(true);
    client.sendRaw("$Execute,\"Print Power\"\r\n$Execute,\"Print Tool\"\r\n");
    EXPECT_EQ(client.readSome(2s), "#Execute,\"0\"\r\n#Execute,\"0\"\r\n")
        << "both replies in one segment";
}

TEST_F(SimProtocol, StartStopAndRestart) {
    EXPECT_THROW(sim_.start(), std::logic_error);
    EXPECT_NE(sim_.commandPort(), 0);
    EXPECT_NE(sim_.telemetryPort(), 0);

    Simulator slow(fastOptions(1.0));
    slow.start();
    Client command(slow.commandPort());
    login(command);
    Client telemetry(slow.telemetryPort());
    ASSERT_TRUE(telemetry.readUntil('\r', 2s).has_value());
    ASSERT_EQ(command.execute("Motor On"), "#Execute,0");
    ASSERT_EQ(command.execute("Speed 1"), "#Execute,0");
    command.sendLine(ex("Go AglToPls(90,0,0,0,-90,0)"));
    ASSERT_TRUE(eventually([&] { return slow.snapshot().joints[0] > 0.0; }));

    const auto start = Clock::now();
    slow.stop();
    EXPECT_LT(seconds(Clock::now() - start), 0.5) << "stop is quick, even during a motion";
    EXPECT_FALSE(slow.running());
    EXPECT_TRUE(command.closedByPeer(1s));
    EXPECT_TRUE(telemetry.closedByPeer(1s));
    const auto halted = slow.snapshot();
    EXPECT_FALSE(halted.moving);
    EXPECT_GT(halted.joints[0], 0.0);
    EXPECT_LT(halted.joints[0], 90.0) << "the motion halted where it was";
    slow.stop();  // idempotent

    const auto ports = std::pair(slow.commandPort(), slow.telemetryPort());
    slow.start();
    EXPECT_EQ(std::pair(slow.commandPort(), slow.telemetryPort()), ports)
        << "a restart keeps the ports, as a rebooted controller does";
    Client again(slow.commandPort());
    login(again);
    EXPECT_EQ(again.print("Motor"), "True") << "state survives a restart";
}

TEST(SimRobustness, StalledClientsAreDroppedAndTheLogIsABoundedRing) {
    auto options = fastOptions();
    options.maxReplyBacklog = 64 * 1024;
    options.logCapacity = 50;
    Simulator sim(options);
    sim.start();
    Client flooder(sim.commandPort());
    login(flooder);
    // Never reads: once the socket buffers and the backlog are full, the client is dropped.
    std::string line = ex("Print CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)");
    std::string burst;
    for (int i = 0; i < 200; ++i) {
        burst += line + "\r\n";
    }
    EXPECT_TRUE(flooder.sendUntilRefused(burst, 20s));
    EXPECT_TRUE(eventually([&] { return !sim.commandClientConnected(); }));
    EXPECT_EQ(sim.commandLog().size(), 50u) << "only the newest lines are kept";
    EXPECT_EQ(sim.commandLog().back(), line);

    Client next(sim.commandPort());
    login(next);
    sim.clearLog();
    sim.setLogCapacity(3);
    for (const char* statement : {"Print Tool", "Print Power", "Print SysErr", "Print Speed"}) {
        ASSERT_EQ(next.execute(statement).substr(0, 9), "#Execute,");
    }
    EXPECT_EQ(sim.commandLog(),
              (std::vector<std::string>{ex("Print Power"), ex("Print SysErr"), ex("Print Speed")}));
    EXPECT_EQ(sim.waitForCommand("Print", 0ms, MatchMode::Substring, 3), ex("Print Speed"))
        << "indices count the lines that fell out";
    EXPECT_EQ(sim.waitForCommand("Print Tool", 0ms), std::nullopt) << "fallen out";
    EXPECT_THROW(sim.setLogCapacity(0), std::invalid_argument);
}

TEST(SimRobustness, LoginAndIdleTimeOutsFreeThePort) {
    auto options = fastOptions();
    options.loginTimeout = 150ms;
    options.idleTimeout = 300ms;
    Simulator sim(options);
    sim.start();
    const auto connected = Clock::now();
    Client squatter(sim.commandPort());
    ASSERT_TRUE(squatter.connected());
    Client refused(sim.commandPort());
    EXPECT_TRUE(refused.closedByPeer(2s)) << "a second client while one is connected";
    EXPECT_TRUE(squatter.closedByPeer(3s)) << "no login within the time-out";
    EXPECT_GE(seconds(Clock::now() - connected), 0.14);

    Client idle(sim.commandPort());
    login(idle);
    const auto lastCommand = Clock::now();
    EXPECT_FALSE(idle.closedByPeer(200ms)) << "a logged-in client outlives the login time-out";
    EXPECT_TRUE(idle.closedByPeer(3s)) << "but not the idle time-out";
    EXPECT_GE(seconds(Clock::now() - lastCommand), 0.29);
    Client next(sim.commandPort());
    login(next);
}

// Idle means neither sending nor waiting for a reply the simulator owes. Each row leaves a
// logged-in client silent in one state: it is kept while it waits (and hears nothing), hears
// what it is owed (after sending `ask`, if any), and is closed as idle only afterwards. A client
// waiting for its own Go was once dropped at the idle time-out while the arm moved on.
TEST(SimRobustness, IdleMeansOwedNothingInEveryConnectionState) {
    struct Row {
        const char* state;
        void (*enter)(Simulator&, Client&);
        milliseconds keptFor;
        std::string ask;
        std::vector<std::string> hears;
    };
    const std::vector<Row> rows = {
        {"silent after its reply", [](Simulator&, Client&) {}, 0ms, "", {}},
        {"waiting for its own Go",
         [](Simulator&, Client& c) {
             ASSERT_EQ(c.execute("Motor On"), "#Execute,0");
             c.sendLine(ex("Go JA(90,0,0,0,-90,0)"));
         },
         800ms,
         "",
         {"#Execute,0"}},
        {"paused by its own $Pause",
         [](Simulator& sim, Client& c) {
             ASSERT_EQ(c.execute("Motor On"), "#Execute,0");
             c.sendLine(ex("Go JA(90,0,0,0,-90,0)"));
             ASSERT_TRUE(eventually([&] { return sim.moving(); }));
             ASSERT_EQ(c.command("$Pause"), "#Pause,0");
         },
         800ms,
         "$Abort",
         {"#Abort,0", "!Execute,99"}},
        {"waiting for a delayed reply",
         [](Simulator& sim, Client& c) {
             sim.delayReply("Print", 700ms, MatchMode::Substring, 1);
             c.sendLine(ex("Print SysErr"));
         },
         600ms,
         "",
         {printed("0")}},
    };
    for (const auto& row : rows) {
        auto options = fastOptions(0.5);  // the Go takes 1.6 s
        options.idleTimeout = 300ms;
        Simulator sim(options);
        sim.start();
        Client client(sim.commandPort());
        login(client);
        row.enter(sim, client);
        EXPECT_TRUE(client.quietFor(row.keptFor)) << row.state << ": dropped while owed a reply";
        if (!row.ask.empty()) {
            client.sendLine(row.ask);
        }
        for (const auto& line : row.hears) {
            EXPECT_EQ(client.readLine(3s), line) << row.state;
        }
        const auto owedNothing = Clock::now();
        EXPECT_TRUE(client.closedByPeer(3s)) << row.state << ": kept once owed nothing";
        EXPECT_GE(seconds(Clock::now() - owedNothing), 0.25) << row.state;
    }
}

// A client of any port that reads nothing loses its slot at the write deadline, whatever it
// sends meanwhile (a client the simulator reads only after answering held its slot for good:
// eight such control clients locked the control channel), and the port serves the next one.
TEST(SimRobustness, ClientsThatNeverReadAreDroppedAtTheWriteDeadline) {
    auto options = fastOptions();
    options.writeTimeout = 300ms;
    options.controlPort = 0;
    options.controlIdleTimeout = 0ms;  // only the write deadline can free the slot
    Simulator sim(options);
    sim.start();
    constexpr int kTinyWindow = 2048;

    Client command(sim.commandPort(), kTinyWindow);
    login(command);
    std::string statuses;
    for (int i = 0; i < 1000; ++i) {
        statuses += "$GetStatus\r\n";
    }
    EXPECT_TRUE(command.sendUntilRefused(statuses, 15s)) << "a pipelining client that never reads";
    EXPECT_TRUE(eventually([&] { return !sim.commandClientConnected(); }));
    Client nextCommand(sim.commandPort());
    login(nextCommand);

    std::vector<std::unique_ptr<Client>> control;
    for (int i = 0; i < 8; ++i) {
        control.push_back(std::make_unique<Client>(sim.controlPort(), kTinyWindow));
    }
    std::string unknown;
    for (int i = 0; i < 1000; ++i) {
        unknown += std::string(60, 'x') + "\n";  // each answered with a long error line
    }
    // All eight at once: each fills the buffers between it and the simulator before it stalls.
    std::vector<std::future<bool>> refused;
    for (auto& client : control) {
        refused.push_back(std::async(std::launch::async, [&client, &unknown] {
            return client->sendUntilRefused(unknown, 20s);
        }));
    }
    for (auto& each : refused) {
        EXPECT_TRUE(each.get()) << "a control client that never reads";
    }
    Client nextControl(sim.controlPort());
    nextControl.sendRaw("system-error 0\n");
    EXPECT_EQ(nextControl.readUntil('\n', 3s), "ok") << "the control channel serves again";

    Client telemetry(sim.telemetryPort(), kTinyWindow);
    ASSERT_TRUE(eventually([&] { return sim.telemetryClientCount() == 1; }));
    for (int i = 0; i < 16; ++i) {
        sim.sendTelemetryRaw(std::string(1 << 20, 'x'));  // stalls the writes sooner than samples
    }
    EXPECT_TRUE(eventually([&] { return sim.telemetryClientCount() == 0; }, 15s))
        << "a telemetry client that never reads";
}

TEST_F(SimProtocol, FaultHooks) {
    Client client(sim_.commandPort());
    login(client);

    // Executed, then the reply is replaced or the connection goes.
    sim_.executeThenAnswer("Power High", "#Execute,\"garbage", MatchMode::Substring, 1);
    EXPECT_EQ(client.execute("Power High"), "#Execute,\"garbage");
    EXPECT_EQ(sim_.power(), 1) << "it took effect";
    sim_.executeThenDrop("Motor On", MatchMode::Substring, 1);
    client.sendLine(ex("Motor On"));
    EXPECT_TRUE(client.closedByPeer(2s));
    EXPECT_TRUE(sim_.motorsOn()) << "executed before the connection went";

    // An abortive close: the client sees a reset, not an end of stream.
    Client second(sim_.commandPort());
    login(second);
    sim_.dropConnection("Reset", MatchMode::Substring, 1, true);
    second.sendLine(ex("Reset"));
    EXPECT_TRUE(second.resetByPeer(2s));
    Client third(sim_.commandPort());
    login(third);
    sim_.dropCommandConnection(true);
    EXPECT_TRUE(third.resetByPeer(2s));

    // A motion ended with any code; SysErr and status words set by the test.
    Client fourth(sim_.commandPort());
    login(fourth);
    EXPECT_FALSE(sim_.failMotion(4001)) << "nothing runs";
    ASSERT_EQ(fourth.execute("Speed 1"), "#Execute,0");
    fourth.sendLine(ex("Go JA(90,0,0,0,-90,0)"));
    ASSERT_TRUE(eventually([&] { return sim_.moving(); }));
    EXPECT_TRUE(sim_.failMotion(4001));
    EXPECT_EQ(fourth.readLine(), "!Execute,4001");
    EXPECT_FALSE(sim_.moving());
    sim_.setSystemError(4021);
    EXPECT_EQ(fourth.print("SysErr,Stat(0)"), "4021," + std::to_string(1 << 17));
    sim_.setStatusOverride(epson::sim::StatusWord::Stat, 12345);
    sim_.setStatusOverride(epson::sim::StatusWord::CtrlInfo, 7);
    EXPECT_EQ(fourth.print("Stat(0),CtrlInfo(1)"), "12345,7");
    sim_.setStatusOverride(epson::sim::StatusWord::Stat, std::nullopt);
    EXPECT_EQ(fourth.print("Stat(0),CtrlInfo(1)"), std::to_string(1 << 17) + ",7");

    // The command port refuses new connections, then accepts them again.
    sim_.setCommandConnectionsRefused(true);
    fourth.close();
    ASSERT_TRUE(eventually([&] { return !sim_.commandClientConnected(); }));
    EXPECT_EQ(connectLoopback(sim_.commandPort()), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    sim_.setCommandConnectionsRefused(false);
    Client fifth(sim_.commandPort());
    login(fifth);
}

}  // namespace
