// The command link's reply exchange, checked against a model. The harness plays the controller
// on a socket pair: the link writes a real command and reads the peer's bytes with its own
// reader, then the outcome is compared with a model that frames the whole byte stream at once.
// Framing that depends on how the bytes arrive, a reply bound that does not hold, a quote left
// open or any exception other than std::runtime_error shows up as a difference.

#include "ReplyExchange.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "CellCommandLinkImpl.hpp"
#include "FuzzSupport.hpp"

namespace {

using epson::CellCommandLink;
using epson::kMaxReplyBytes;
using epson::fuzz::asWhat;
using epson::fuzz::oddQuoteCount;
using epson::fuzz::SocketPeer;
using epson::fuzz::startsWith;
using Impl = CellCommandLink::Impl;

// Generous: every read ends at end-of-stream long before it, so reaching it is a failure.
constexpr std::chrono::milliseconds kTimeout{5000};

constexpr const char* kPendingName = "Pause";
constexpr const char* kLateName = "Continue";
constexpr const char* kNote99 =
    " (Epson Remote Ethernet error 99: system error or communication error; no motion error "
    "code was returned)";

struct CommandChoice {
    std::string wire;       // the command text as written
    std::string statement;  // non-empty: sent through executeAndGetResult_
};

CommandChoice chooseCommand(std::uint8_t flags) {
    switch (flags & 3U) {
        case 0:
            return {"$Execute,\"Print 1\"", ""};
        case 1:
            return {"$Login,secret", ""};
        case 2:
            return {"$Logout", ""};
        default:
            return {"$Execute,\"Print X\"", "Print X"};
    }
}

std::string shown(const std::string& command) {
    return startsWith(command, "$Login,") ? "$Login,<redacted>" : command;
}

/// The controller error text for a "!" reply: the reply, the note for error code 99 (the field
/// from the first comma to the next one or the end), and the command with a login's password
/// hidden.
std::string controllerError(const std::string& reply, const std::string& command) {
    std::string note;
    if (const auto first = reply.find(','); first != std::string::npos) {
        const auto second = reply.find(',', first + 1);
        const auto field = reply.substr(
            first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
        if (field == "99") {
            note = kNote99;
        }
    }
    return "Remote command failed: " + reply + note + " (command: " + shown(command) + ")";
}

}  // namespace

// --- Classification ------------------------------------------------------------------------

namespace epson::fuzz {

void checkClassification(const std::string& reply, std::uint8_t flags) {
    const std::string command = chooseCommand(flags).wire;
    const bool loggedIn = (flags & 16U) != 0;
    Impl impl;
    impl.loggedIn_ = loggedIn;
    std::optional<std::string> error;
    try {
        impl.parseResponse_(reply, command);
    } catch (const std::runtime_error& e) {
        error = e.what();
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, std::string("parseResponse_ threw a non-runtime_error: ") + e.what());
    }
    const bool accepted = !reply.empty() && reply.front() == '#';
    FUZZ_CHECK(accepted == !error.has_value(), reply);
    bool expectedFlag = loggedIn;
    if (startsWith(reply, "#Login")) {
        expectedFlag = true;
    } else if (startsWith(reply, "#Logout")) {
        expectedFlag = false;
    }
    FUZZ_CHECK(impl.loggedIn_.load() == expectedFlag, reply);
    if (!error) {
        return;
    }
    if (reply.empty()) {
        FUZZ_CHECK(*error == "Empty response from Epson controller", *error);
    } else if (reply.front() == '!') {
        FUZZ_CHECK(*error == asWhat(controllerError(reply, command)), *error);
    } else {
        FUZZ_CHECK(*error == asWhat("Invalid remote command response: " + reply), *error);
    }
}

}  // namespace epson::fuzz

namespace {

// --- Framing model ---------------------------------------------------------------------------

enum class Outcome {
    kReturned,
    kEmpty,
    kControllerError,
    kUnexpected,
    kReadFailure,
    kNoQuotes,
    kAmbiguous
};

struct Expected {
    Outcome outcome = Outcome::kReadFailure;
    std::string line;  // the reply that decided the outcome
    std::optional<std::string> lastResponse;
    std::string pendingResponse;
    bool lateOwed = false;
};

/// Frames the complete stream: a line is readable once a "\r\n" that ends within kMaxReplyBytes
/// of its start has arrived; it runs to the first line feed, less one carriage return. Replies
/// with an odd number of quotes take further lines, joined by "\n", up to kMaxReplyBytes.
class StreamModel {
  public:
    explicit StreamModel(const std::string& stream) : stream_(stream) {}

    std::optional<std::string> nextReply() {
        auto reply = nextLine();
        if (!reply) {
            return std::nullopt;
        }
        for (bool open = oddQuoteCount(*reply); open;) {
            const auto next = nextLine();
            if (!next) {
                return std::nullopt;
            }
            open = open != oddQuoteCount(*next);
            *reply += '\n';
            *reply += *next;
            if (reply->size() > kMaxReplyBytes) {
                return std::nullopt;
            }
        }
        return reply;
    }

  private:
    std::optional<std::string> nextLine() {
        const auto terminator = stream_.find("\r\n", pos_);
        if (terminator == std::string::npos || terminator + 2 - pos_ > kMaxReplyBytes) {
            return std::nullopt;
        }
        const auto lineFeed = stream_.find('\n', pos_);
        std::string line = stream_.substr(pos_, lineFeed - pos_);
        pos_ = lineFeed + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        return line;
    }

    const std::string& stream_;
    std::size_t pos_ = 0;
};

Expected modelExchange(const std::string& stream, const CommandChoice& command, bool pending,
                       bool late) {
    const std::string name = command.wire.substr(1, command.wire.find(',') - 1);
    Expected expected;
    expected.lateOwed = late;
    // What is owed, oldest first: a control command that gave up, a waiting one, this one.
    struct Owed {
        std::string name;
        enum { kGaveUp, kWaiting, kOwn } kind;
    };
    std::vector<Owed> owed;
    if (late) {
        owed.push_back({kLateName, Owed::kGaveUp});
    }
    if (pending) {
        owed.push_back({kPendingName, Owed::kWaiting});
    }
    owed.push_back({name, Owed::kOwn});
    StreamModel model(stream);
    for (;;) {
        const auto reply = model.nextReply();
        if (!reply) {
            expected.outcome = Outcome::kReadFailure;
            expected.lateOwed = false;  // nothing is owed on a connection given up
            return expected;
        }
        expected.line = *reply;
        // A blank line, or one of blanks only, is nobody's reply.
        if (reply->find_first_not_of(" \t\r\n\v\f") == std::string::npos) {
            expected.outcome = Outcome::kEmpty;
            return expected;
        }
        // A line belongs to the oldest owed entry of its name; an error that names nobody is
        // the only owed entry's, and cannot be told when more are owed.
        auto owner = owed.end();
        if (reply->front() == '#') {
            owner = std::find_if(owed.begin(), owed.end(), [&](const Owed& entry) {
                return startsWith(*reply, "#" + entry.name);
            });
        } else if (reply->front() == '!') {
            const std::string named = epson::replyName(*reply);
            if (!named.empty()) {
                owner = std::find_if(owed.begin(), owed.end(),
                                     [&](const Owed& entry) { return entry.name == named; });
            } else if (owed.size() > 1) {
                expected.outcome = Outcome::kAmbiguous;
                expected.lateOwed = false;
                return expected;
            } else {
                owner = owed.begin();
            }
        }
        if (owner == owed.end()) {
            // Not this command's reply, an error naming another command included: its outcome
            // is unknown, never a refusal.
            expected.outcome = Outcome::kUnexpected;
            return expected;
        }
        const auto kind = owner->kind;
        // Whoever is answered, those that gave up before it will not be any more.
        if (owner != owed.begin() && owed.front().kind == Owed::kGaveUp) {
            owed.erase(owed.begin());
            expected.lateOwed = false;
            owner = std::find_if(owed.begin(), owed.end(),
                                 [&](const Owed& entry) { return entry.kind == kind; });
        }
        if (kind == Owed::kGaveUp) {
            expected.lateOwed = false;
            owed.erase(owner);
            continue;
        }
        if (kind == Owed::kWaiting) {
            expected.pendingResponse = *reply;
            owed.erase(owner);
            continue;
        }
        expected.lastResponse = *reply;
        if (reply->front() == '!') {
            expected.outcome = Outcome::kControllerError;
            return expected;
        }
        expected.outcome = Outcome::kReturned;
        if (!command.statement.empty()) {
            const auto first = reply->find('"');
            const auto last = reply->rfind('"');
            if (first == std::string::npos || first >= last) {
                expected.outcome = Outcome::kNoQuotes;
            }
        }
        return expected;
    }
}

}  // namespace

namespace epson::fuzz {

// One long run keeps the line count, and so the cost of an input, small.
std::string amplifiedStream(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return std::string(reinterpret_cast<const char*>(data), size);
    }
    static constexpr char kFillers[] = {'x', '"', ' ', '\r'};
    const std::size_t offset = (static_cast<std::size_t>(data[0]) << 8U | data[1]) % 8192U;
    const std::size_t length = kMaxReplyBytes + 4096 - offset;
    const char filler = kFillers[data[2] % sizeof kFillers];
    const std::string payload(reinterpret_cast<const char*>(data + 3), size - 3);
    const auto split = std::min(payload.find('\xff'), payload.size());
    std::string stream;
    stream.reserve(payload.size() + length);
    stream.append(payload, 0, split);
    stream.append(length, filler);
    if (split < payload.size()) {
        stream.append(payload, split + 1);
    }
    return stream;
}

void checkExchange(const std::string& stream, std::uint8_t flags) {
    const CommandChoice command = chooseCommand(flags);
    const bool pending = (flags & 4U) != 0;
    const bool late = (flags & 8U) != 0;
    const bool loggedInBefore = (flags & 16U) != 0;

    SocketPeer peer;
    Impl impl;
    impl.socket_.assign(boost::asio::ip::tcp::v4(), peer.takeLocalEnd());
    impl.connected_ = true;
    impl.loggedIn_ = loggedInBefore;
    if (late) {
        impl.ledger_.giveUp(impl.ledger_.open(std::string("$") + kLateName, true));
    }
    const auto pendingTicket = impl.ledger_.open(std::string("$") + kPendingName, true);
    if (!pending) {
        impl.ledger_.withdraw(pendingTicket);
    }
    peer.sendThenClose(stream);

    std::optional<std::string> error;
    std::string result;
    try {
        if (command.statement.empty()) {
            impl.command_(command.wire, kTimeout);
        } else {
            result = impl.executeAndGetResult_(command.statement);
        }
    } catch (const std::runtime_error& e) {
        error = e.what();
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, std::string("exchange threw a non-runtime_error: ") + e.what());
    }
    const std::string written = peer.received();
    const bool socketOpen = impl.socket_.is_open();
    impl.socket_.close();
    peer.finish();

    // Invariants that hold whatever the model says.
    FUZZ_CHECK(written == command.wire + "\r\n", written);
    FUZZ_CHECK(!oddQuoteCount(impl.lastResponse_), impl.lastResponse_);
    FUZZ_CHECK(impl.lastResponse_.size() <= kMaxReplyBytes,
               std::to_string(impl.lastResponse_.size()));
    const auto collected = impl.ledger_.collect(pendingTicket);
    const std::string pendingResponse =
        collected && collected->reply ? *collected->reply : std::string();
    FUZZ_CHECK(!oddQuoteCount(pendingResponse), pendingResponse);
    FUZZ_CHECK(impl.connected_.load() == socketOpen, "connected_ disagrees with the socket");
    FUZZ_CHECK(!error || !startsWith(*error, "Timed out"), *error);

    const Expected expected = modelExchange(stream, command, pending, late);
    FUZZ_CHECK(impl.lastResponse_ == expected.lastResponse.value_or(""), impl.lastResponse_);
    FUZZ_CHECK(pendingResponse == expected.pendingResponse, pendingResponse);
    FUZZ_CHECK(impl.ledger_.collides(std::string("$") + kLateName) == expected.lateOwed,
               "the late reply's entry differs");

    const std::string echo = "#" + command.wire.substr(1, command.wire.find(',') - 1);
    bool loggedInAfter = loggedInBefore;
    switch (expected.outcome) {
        case Outcome::kReturned:
            FUZZ_CHECK(!error, *error);
            if (command.wire == "$Login,secret") {
                loggedInAfter = true;
            } else if (command.wire == "$Logout") {
                loggedInAfter = false;
            }
            if (!command.statement.empty()) {
                const auto first = expected.line.find('"');
                const auto last = expected.line.rfind('"');
                FUZZ_CHECK(result == expected.line.substr(first + 1, last - first - 1), result);
            }
            break;
        case Outcome::kNoQuotes:
            FUZZ_CHECK(error == asWhat("Unexpected Execute response: " + expected.line),
                       error.value_or("no error"));
            break;
        case Outcome::kEmpty:
            FUZZ_CHECK(
                error == asWhat("Empty response from Epson controller (" +
                                epson::displayedCommand(command.wire) + " may have taken effect)"),
                error.value_or("none"));
            break;
        case Outcome::kControllerError:
            FUZZ_CHECK(error == asWhat(controllerError(expected.line, command.wire)),
                       error.value_or("no error"));
            break;
        case Outcome::kUnexpected:
            FUZZ_CHECK(
                error == asWhat("Unexpected Epson response while waiting for " + echo + ": " +
                                expected.line + " (" + epson::displayedCommand(command.wire) +
                                " may have taken effect)"),
                error.value_or("no error"));
            break;
        case Outcome::kReadFailure:
            FUZZ_CHECK(error && startsWith(*error,
                                           "Failed while waiting for an Epson Remote Ethernet "
                                           "response: "),
                       error.value_or("no error"));
            loggedInAfter = false;
            break;
        case Outcome::kAmbiguous:
            FUZZ_CHECK(error == asWhat("Epson Remote Ethernet reply could not be assigned to a "
                                       "command: " +
                                       expected.line),
                       error.value_or("no error"));
            loggedInAfter = false;
            break;
    }
    // Only a broken or unreadable connection closes the link; only the own echo moves the
    // login flag.
    const bool closes =
        expected.outcome == Outcome::kReadFailure || expected.outcome == Outcome::kAmbiguous;
    FUZZ_CHECK(impl.connected_.load() == !closes, error.value_or("returned"));
    FUZZ_CHECK(impl.loggedIn_.load() == loggedInAfter, error.value_or("returned"));
}

}  // namespace epson::fuzz
