// Reply grammar: classification, error texts, $Execute results and status values.

#include <limits>

#include "CommandTestSupport.hpp"

namespace epson::test {
namespace {

using Impl = CellCommandLink::Impl;

struct ResponseCase {
    std::string reply;
    std::string command;
    bool loggedInBefore;
    bool loggedInAfter;
    std::string error;  // empty: accepted
    int code = -1;      // a controller refusal's code; -1: not a refusal
};

class ParseResponse : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(ParseResponse, ClassifiesAndUpdatesLoginFlag) {
    const auto& c = GetParam();
    Impl impl;
    impl.loggedIn_ = c.loggedInBefore;
    if (c.error.empty()) {
        EXPECT_NO_THROW(impl.parseResponse_(c.reply, c.command));
    } else {
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
            [&] { impl.parseResponse_(c.reply, c.command); }, c.error));
        try {
            impl.parseResponse_(c.reply, c.command);
        } catch (const ControllerError& refusal) {
            EXPECT_EQ(refusal.code(), c.code);
            EXPECT_EQ(refusal.reply(), c.reply);
            EXPECT_EQ(refusal.command(), displayedCommand(c.command));
            // Only documented codes have a meaning; 0 stands for "no code".
            EXPECT_EQ(refusal.meaning().empty(), c.code != 13 && c.code != 99) << c.reply;
        } catch (const std::runtime_error&) {
            EXPECT_EQ(c.code, -1) << "a refusal must be a ControllerError";
        }
    }
    EXPECT_EQ(impl.loggedIn_.load(), c.loggedInAfter);
}

const std::string kNote99 =
    " (Epson Remote Ethernet error 99: system error or communication error; no motion error "
    "code was returned)";

INSTANTIATE_TEST_SUITE_P(
    Replies, ParseResponse,
    ::testing::Values(
        ResponseCase{"#", "$Execute,\"Print 1\"", true, true, ""},
        ResponseCase{"#Execute,\"1\"", "$Execute,\"Print 1\"", false, false, ""},
        ResponseCase{"#Login,0", "$Login,pw", false, true, ""},
        ResponseCase{"#LoginXYZ", "$Login,pw", false, true, ""},
        ResponseCase{"#Logout,0", "$Logout", true, false, ""},
        ResponseCase{"", "$Logout", true, true, "Empty response from Epson controller"},
        ResponseCase{"x1", "$Logout", true, true, "Invalid remote command response: x1"},
        ResponseCase{"!", "$Execute,\"Go P1\"", true, true,
                     "Remote command failed: ! (command: $Execute,\"Go P1\")", 0},
        ResponseCase{
            "!Execute,99", "$Execute,\"Go P1\"", true, true,
            "Remote command failed: !Execute,99" + kNote99 + " (command: $Execute,\"Go P1\")", 99},
        ResponseCase{"!Go,99,5", "$Go", true, true,
                     "Remote command failed: !Go,99,5" + kNote99 + " (command: $Go)", 99},
        ResponseCase{"!Go,990", "$Go", true, true, "Remote command failed: !Go,990 (command: $Go)",
                     990},
        ResponseCase{"!Go, 99", "$Go", true, true, "Remote command failed: !Go, 99 (command: $Go)",
                     0},
        ResponseCase{"!Go,99 ", "$Go", true, true, "Remote command failed: !Go,99  (command: $Go)",
                     0},
        ResponseCase{"!Go,099", "$Go", true, true, "Remote command failed: !Go,099 (command: $Go)",
                     99},
        // A rejected login never shows the password.
        ResponseCase{"!Login,13", "$Login,secret,more", false, false,
                     "Remote command failed: !Login,13 (command: $Login,<redacted>)", 13}));

TEST(ParseResponseExample, ErrorNinetyNineToTheLetter) {
    Impl impl;
    EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
        [&] { impl.parseResponse_("!Execute,99", "$Execute,\"Go P1\""); },
        "Remote command failed: !Execute,99 (Epson Remote Ethernet error 99: system error or "
        "communication error; no motion error code was returned) (command: $Execute,\"Go P1\")"));
}

TEST(StatusValue, ConvertsWordsAndIntegersInEveryBase) {
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {" 1 2 ", 12},
        {"TRUE", 1},
        {" False ", 0},
        {"0x1F", 31},
        {"010", 8},
        {"-5", -5},
        {"+7", 7},
        {"0", 0},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"\t-1\r\n", -1}};
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(Impl::parseControllerStatusValue_(text), expected) << "text: " << text;
    }
}

TEST(StatusValue, RejectsWithTheUnchangedInput) {
    const std::vector<std::string> texts = {"",     "1.5", "12abc", "9223372036854775808",
                                            " 0x ", "08",  "yes"};
    for (const auto& text : texts) {
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
            [&] { Impl::parseControllerStatusValue_(text); },
            "Failed to parse controller status value as an integer: \"" + text + "\""))
            << "text: " << escaped(text);
    }
    // An embedded NUL must not end the number early.
    EXPECT_THROW(Impl::parseControllerStatusValue_(std::string("1\0", 2)), std::runtime_error);
}

TEST(CommandText, EchoAndRedaction) {
    EXPECT_EQ(expectedEcho("$Login,abc"), "#Login");
    EXPECT_EQ(expectedEcho("$Logout"), "#Logout");
    EXPECT_EQ(expectedEcho("$Execute,\"Print Power\""), "#Execute");
    EXPECT_THROW(expectedEcho(""), std::out_of_range);
    EXPECT_EQ(displayedCommand("$Login,"), "$Login,<redacted>");
    EXPECT_EQ(displayedCommand("$Login,1,2"), "$Login,<redacted>");
    EXPECT_EQ(displayedCommand("$Logout"), "$Logout");
}

struct ExecuteCase {
    std::string reply;
    std::string result;  // when error is empty
    std::string error;
};

TEST(ExecuteAndGetResult, ReturnsTextBetweenFirstAndLastQuote) {
    const std::vector<ExecuteCase> cases = {
        {"#Execute,\"42\"", "42", ""},
        {"#Execute,\"\"", "", ""},
        {"#Execute,\"a \"b\" c\" trailing", "a \"b\" c", ""},
        {"#Execute,42", "", "Unexpected Execute response: #Execute,42"},
        {"#Execute,\"42\",\"x", "", ""},  // three quotes: continued with the next line
    };
    ScriptedPeer peer;
    scriptLogin(peer);
    for (const auto& c : cases) {
        peer.expectLine("$Execute,\"Print X\"").sendLine(c.reply);
    }
    peer.sendLine("y\"");
    Impl impl;
    connectImpl(impl, peer);
    for (std::size_t i = 0; i + 1 < cases.size(); ++i) {
        const auto& c = cases[i];
        if (c.error.empty()) {
            EXPECT_EQ(impl.executeAndGetResult_("Print X"), c.result) << c.reply;
        } else {
            EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
                [&] { impl.executeAndGetResult_("Print X"); }, c.error));
        }
    }
    // The continuation joins with "\n", inside the quotes.
    EXPECT_EQ(impl.executeAndGetResult_("Print X"), "42\",\"x\ny");
    EXPECT_TRUE(impl.connected_);
}

}  // namespace
}  // namespace epson::test
