// A seeded randomized fault run: threads drive motions (two of them, so that one waits behind
// another), control commands aimed at the ends of motions, queries, motors on and off and
// reconnects against a controller that delays, withholds, splits and coalesces replies, answers
// some with lines of no known form, puts blank lines and error lines naming no command sent in
// front of replies, stops reading for a while, drops connections mid-reply and resets them
// between exchanges and right after commands; aborts race the starts of motions, and an abort
// whose reply never came is followed by another. Afterwards every call is checked against what
// the controller really did: no result that belongs to another command, no controller error
// from a line that does not name the call's command, no outcome called unknown without a line
// that displaced its reply, no bare write error, no call that outlived its deadline by more
// than 2 s, no abort that reached a motion called after it, no abort reported as sent that was
// not written while a motion statement could run, no abort that sent nothing while a motion
// called before it ran on, no connection given up by the link without a reply really overdue,
// and no call that raised although its own reply came in time. Checked while running: no
// connection lost without some call raising; at the end: motors off after disconnect().
//
// EPSON_FAULT_SEED and EPSON_FAULT_SECONDS choose the run; a failure prints the seed that
// reproduces its decisions.

#include <boost/system/system_error.hpp>

#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "CommandTestSupport.hpp"
#include "FaultyController.hpp"
#include "QuietStdout.hpp"

namespace epson::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::nullopt;

std::uint64_t fromEnvironment(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

enum class Outcome {
    Ok,
    Refused,
    Lost,
    NotConnected,
    WriteFailed,
    ControlTimeout,
    Aborted,
    Unknown,
    Other
};

const char* nameOf(Outcome outcome) {
    static constexpr const char* kNames[] = {"ok",           "refused",      "lost",
                                             "disconnected", "write failed", "control time-out",
                                             "aborted",      "unknown",      "other"};
    return kNames[static_cast<int>(outcome)];
}

struct Call {
    enum class Kind { Motion, Query, Control, Power } kind = Kind::Motion;
    std::string tag;  // "M<id>", "Q<id>", or the control command
    Clock::time_point start;
    Clock::time_point end;
    Outcome outcome = Outcome::Ok;
    int code = 0;
    std::string message;
    std::vector<double> result;
};

/// What every thread shares: the link, the call records and the lost-connection reports.
class FaultRun {
  public:
    CellCommandLink link;

    template <typename Body>
    Call call(Call::Kind kind, std::string tag, Body&& body) {
        Call record;
        record.kind = kind;
        record.tag = std::move(tag);
        record.start = Clock::now();
        try {
            body(record);
        } catch (const MotionAbortedError& error) {
            record.outcome = Outcome::Aborted;
            record.code = error.code();
            record.message = error.what();
        } catch (const ControllerError& error) {
            record.outcome = Outcome::Refused;
            record.code = error.code();
            record.message = error.what();
        } catch (const ConnectionLostError& error) {
            record.outcome = Outcome::Lost;
            record.message = error.what();
            lostReports_ += 1;
        } catch (const NotConnectedError& error) {
            record.outcome = Outcome::NotConnected;
            record.message = error.what();
        } catch (const OutcomeUnknownError& error) {
            record.message = error.what();
            record.outcome =
                record.message.rfind("Timed out waiting for Epson response to ", 0) == 0
                    ? Outcome::ControlTimeout
                    : Outcome::Unknown;
        } catch (const boost::system::system_error& error) {
            record.outcome = Outcome::WriteFailed;
            record.message = error.what();
        } catch (const std::exception& error) {
            record.message = error.what();
            record.outcome =
                record.message.rfind("Timed out waiting for Epson response to ", 0) == 0
                    ? Outcome::ControlTimeout
                    : Outcome::Other;
        }
        record.end = Clock::now();
        std::lock_guard lock(mutex_);
        calls_.push_back(record);
        return record;
    }

    int lostReports() const { return lostReports_.load(); }
    void fail(const std::string& what) {
        std::lock_guard lock(mutex_);
        failures_.push_back(what);
    }
    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<std::string> failures() const {
        std::lock_guard lock(mutex_);
        return failures_;
    }

  private:
    std::atomic<int> lostReports_{0};
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::vector<std::string> failures_;
};

std::string describe(const Call& call) {
    std::ostringstream text;
    text << call.tag << " -> " << nameOf(call.outcome);
    if (!call.message.empty()) {
        text << " (" << call.message << ")";
    }
    return text.str();
}

/// Checks every call against the controller's record; returns the failures.
std::vector<std::string> audit(const std::vector<Call>& calls, const std::vector<WireEvent>& events,
                               const std::map<std::string, std::string>& aborts,
                               Clock::time_point runEnd) {
    using Kind = WireEvent::Kind;
    using std::chrono::seconds;
    std::vector<std::string> failures;
    std::map<int, const WireEvent*> errorReplies;  // by code: every code is used once
    std::map<std::string, std::vector<const WireEvent*>> byTag;
    std::map<int, Clock::time_point> closedAt;
    std::set<int> lateOn;  // connections on which a query's reply was overdue
    for (const auto& event : events) {
        if (event.kind == Kind::Sent && !event.line.empty() &&
            (event.line.front() == '!' || event.line.rfind("#Bogus,", 0) == 0)) {
            errorReplies[std::atoi(event.line.c_str() + event.line.find(',') + 1)] = &event;
        }
        if (event.kind == Kind::Closed) {
            closedAt.emplace(event.connection, event.time);
        }
        if (event.kind == Kind::Late) {
            lateOn.insert(event.connection);
        }
        byTag[event.tag].push_back(&event);
    }
    // The link gives a connection up only for a reply that is really overdue.
    for (const auto& event : events) {
        if (event.kind == Kind::Closed && event.line == "by client" && event.time < runEnd &&
            !lateOn.contains(event.connection)) {
            failures.push_back("connection " + std::to_string(event.connection) +
                               " was given up although no reply on it was overdue");
        }
    }
    const auto callOf = [&](const std::string& tag) -> const Call* {
        for (const auto& call : calls) {
            if (call.tag == tag) {
                return &call;
            }
        }
        return nullptr;
    };
    const auto find = [&](const std::string& tag, Kind kind) -> const WireEvent* {
        for (const auto* event : byTag[tag]) {
            if (event->kind == kind) {
                return event;
            }
        }
        return nullptr;
    };
    const auto refusedBy = [&](const Call& call, const std::string& tagPrefix,
                               const std::string& linePrefix) {
        const auto found = errorReplies.find(call.code);
        return found != errorReplies.end() && found->second->tag.rfind(tagPrefix, 0) == 0 &&
               found->second->line.rfind(linePrefix, 0) == 0;
    };
    const auto late = [&](const Call& call, Clock::time_point bound) {
        if (call.end > bound + seconds(2)) {
            failures.push_back(describe(call) + ": outlived its deadline by " +
                               std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  call.end - bound)
                                                  .count()) +
                               " ms");
        }
    };
    // A write that fails ends the connection: never a bare system error.
    const auto honest = [](Outcome outcome) {
        return outcome == Outcome::Lost || outcome == Outcome::NotConnected;
    };
    // An outcome is unknown only when a line that answers nothing met the call's read.
    const auto displaced = [&](const Call& call) {
        if (call.outcome != Outcome::Unknown) {
            return false;
        }
        for (const auto& event : events) {
            if (event.kind == Kind::Sent && event.time >= call.start && event.time <= call.end &&
                (event.tag == "stray" || event.line.rfind("#Bogus,", 0) == 0)) {
                return true;
            }
        }
        return false;
    };
    // A line of no known form fails the call whose read met it, and only with that line.
    const auto failedByUnknownLine = [&](const Call& call) {
        const auto at = call.message.find(": #Bogus,");
        if (call.outcome != Outcome::Other ||
            call.message.find("Unexpected Epson response while waiting for #") ==
                std::string::npos ||
            at == std::string::npos) {
            return false;
        }
        const auto found = errorReplies.find(std::atoi(call.message.c_str() + at + 9));
        return found != errorReplies.end() && found->second->time <= call.end;
    };
    // Nothing was sent for a command while the controller still ran an earlier $Execute.
    const auto notSent = [](const Call& call) {
        return call.outcome == Outcome::Other &&
               call.message.find(" was not sent") != std::string::npos;
    };

    // A motion statement the controller ran during [from, to]: received before @p to, its
    // reply not sent (nor its connection closed) before @p from. With @p unread, a statement
    // counts until its call returns, and one whose call never took its reply until its
    // connection closes: the link cannot know it ended before some read takes that reply.
    const auto statementRan = [&](Clock::time_point from, Clock::time_point to,
                                  const WireEvent** motion, bool unread) {
        for (const auto& event : events) {
            if (event.kind != Kind::Received || event.tag.rfind("M", 0) != 0 || event.time > to) {
                continue;
            }
            const auto* ended = find(event.tag, Kind::Sent);
            if (ended == nullptr) {
                ended = find(event.tag, Kind::Dropped);
            }
            Clock::time_point end = ended != nullptr ? ended->time : Clock::time_point::max();
            const Call* caller = callOf(event.tag);
            if (unread && caller != nullptr) {
                // Until its call returns, the link counts the motion as running.
                end = std::max(end, caller->end);
                if (caller->outcome != Outcome::Ok && caller->outcome != Outcome::Refused &&
                    caller->outcome != Outcome::Aborted) {
                    end = Clock::time_point::max();
                }
            }
            if (closedAt.contains(event.connection)) {
                end = std::min(end, closedAt[event.connection]);
            }
            if (end >= from) {
                *motion = &event;
                return true;
            }
        }
        return false;
    };
    const auto auditAbort = [&](const Call& call, const WireEvent* own) {
        const bool reportedSent = !call.result.empty() && call.result.front() != 0.0;
        const WireEvent* motion = nullptr;
        if (call.outcome == Outcome::Ok && reportedSent &&
            !(own != nullptr && statementRan(call.start, own->time, &motion, true))) {
            failures.push_back(describe(call) +
                               ": reported as sent, but not written while a motion could run");
        }
        // The controller ran a motion called before the abort, from before the call to after
        // it, on a connection that stayed up: nothing sent is a stop that did not happen.
        if (call.outcome == Outcome::Ok && own == nullptr &&
            statementRan(call.end, call.start, &motion, false)) {
            const Call* caller = callOf(motion->tag);
            if (caller != nullptr && caller->start < call.start) {
                failures.push_back(describe(call) + ": sent nothing while " + motion->tag +
                                   " ran on the controller");
            }
        }
    };

    for (const auto& call : calls) {
        switch (call.kind) {
            case Call::Kind::Motion: {
                const auto* received = find(call.tag, Kind::Received);
                const auto* sent = find(call.tag, Kind::Sent);
                bool reachedByAbort = false;
                for (const auto& [abortTag, motionTag] : aborts) {
                    reachedByAbort = reachedByAbort || motionTag == call.tag;
                }
                // An abort written while the motion's own reply was on its way: the link cannot
                // tell the refusal from the abort's result, and reports it aborted.
                bool abortCrossed = false;
                for (const auto& event : events) {
                    abortCrossed =
                        abortCrossed ||
                        (received != nullptr && event.kind == Kind::Received &&
                         event.line == "$Abort" && event.connection == received->connection &&
                         event.time >= received->time && event.time <= call.end);
                }
                if (call.outcome == Outcome::Ok &&
                    !(sent != nullptr && sent->line == "#Execute,0" && sent->time <= call.end)) {
                    failures.push_back(describe(call) + ": success without its own reply");
                } else if (call.outcome == Outcome::Refused &&
                           !refusedBy(call, call.tag, "!Execute,")) {
                    failures.push_back(describe(call) + ": an error that was not its own");
                } else if (call.outcome == Outcome::Refused && reachedByAbort) {
                    failures.push_back(describe(call) + ": aborted, but not reported so");
                } else if (call.outcome == Outcome::Aborted &&
                           call.message == "Epson motion was aborted before it started") {
                    if (received != nullptr) {
                        failures.push_back(describe(call) + ": its statement was sent");
                    }
                } else if (call.outcome == Outcome::Aborted &&
                           !(refusedBy(call, call.tag, "!Execute,") &&
                             (reachedByAbort || abortCrossed))) {
                    failures.push_back(describe(call) + ": reported aborted, but was not");
                } else if (!honest(call.outcome) && call.outcome != Outcome::Ok &&
                           call.outcome != Outcome::Refused && call.outcome != Outcome::Aborted &&
                           !displaced(call) && !failedByUnknownLine(call) && !notSent(call)) {
                    failures.push_back(describe(call) + ": no such outcome for a motion");
                }
                if (received != nullptr) {
                    const auto* ended = sent != nullptr ? sent : find(call.tag, Kind::Dropped);
                    Clock::time_point bound = received->time + seconds(5);
                    if (ended != nullptr) {
                        bound = ended->time + seconds(5);  // and an owed control reply
                    } else if (closedAt.contains(received->connection)) {
                        bound = std::max(bound, closedAt[received->connection]);
                    } else {
                        bound = received->time + seconds(300);
                    }
                    late(call, bound);
                }
                break;
            }
            case Call::Kind::Query: {
                if (call.outcome == Outcome::Ok) {
                    const double x = std::stod(call.tag.substr(1)) * 10;
                    const std::vector<double> own = {x + 1, x + 2, x + 3, x + 4, x + 5, x + 6};
                    if (call.result != own) {
                        failures.push_back(describe(call) + ": another command's result");
                    }
                } else if (call.outcome == Outcome::Refused &&
                           !refusedBy(call, call.tag + "/", "!Execute,")) {
                    failures.push_back(describe(call) + ": an error that was not its own");
                } else if (!honest(call.outcome) && call.outcome != Outcome::Refused &&
                           !displaced(call) && !failedByUnknownLine(call) && !notSent(call)) {
                    failures.push_back(describe(call) + ": no such outcome for a query");
                }
                for (int joint = 6; joint >= 1; --joint) {
                    if (const auto* received =
                            find(call.tag + "/" + std::to_string(joint), Kind::Received)) {
                        late(call, received->time + seconds(5));
                        break;
                    }
                }
                break;
            }
            case Call::Kind::Control: {
                // One thread sends control commands, so the first one of this kind received
                // while the call ran is its own.
                const WireEvent* own = nullptr;
                for (const auto& event : events) {
                    if (event.kind == Kind::Received && event.line == call.tag &&
                        event.time >= call.start && event.time <= call.end) {
                        own = &event;
                        break;
                    }
                }
                const std::string name = call.tag.substr(1);
                const auto* ownReply = own != nullptr ? find(own->tag, Kind::Sent) : nullptr;
                if (call.outcome == Outcome::Ok) {
                    // A status may come from a "$GetStatus" that another command sent first.
                    bool answered = ownReply != nullptr &&
                                    ownReply->line.rfind("#" + name, 0) == 0 &&
                                    ownReply->time <= call.end;
                    for (const auto& event : events) {
                        answered = answered || (name == "GetStatus" && event.kind == Kind::Sent &&
                                                event.line.rfind("#GetStatus", 0) == 0 &&
                                                event.time >= call.start && event.time <= call.end);
                    }
                    // An abort with no motion of its own to reach sends nothing.
                    answered = answered || (name == "Abort" && own == nullptr);
                    if (!answered) {
                        failures.push_back(describe(call) + ": success without its own reply");
                    }
                } else if (call.outcome == Outcome::Refused &&
                           !(own != nullptr && refusedBy(call, own->tag, "!" + name))) {
                    failures.push_back(describe(call) + ": an error that was not its own");
                } else if (!honest(call.outcome) && call.outcome != Outcome::Refused &&
                           call.outcome != Outcome::ControlTimeout && !displaced(call) &&
                           !failedByUnknownLine(call) && !notSent(call)) {
                    failures.push_back(describe(call) + ": no such outcome for a control command");
                }
                // A caller that gave up never had its own reply delivered to someone else.
                if (call.outcome == Outcome::ControlTimeout && ownReply != nullptr &&
                    ownReply->line.rfind("#Bogus", 0) != 0 &&
                    ownReply->time + seconds(1) < call.end) {
                    failures.push_back(describe(call) + ": its own reply came in time");
                }
                // An abort reaches only a motion called before it.
                if (own != nullptr && name == "Abort" && aborts.contains(own->tag)) {
                    const Call* motion = callOf(aborts.at(own->tag));
                    if (motion == nullptr || motion->start > call.start) {
                        failures.push_back(describe(call) + ": reached " + aborts.at(own->tag) +
                                           ", called after it");
                    }
                }
                if (own != nullptr) {
                    late(call, own->time + seconds(5));
                }
                if (name == "Abort") {
                    auditAbort(call, own);
                }
                break;
            }
            case Call::Kind::Power: {
                if (call.outcome == Outcome::Refused && !refusedBy(call, "P", "!Execute,")) {
                    failures.push_back(describe(call) + ": an error that was not its own");
                } else if (!honest(call.outcome) && call.outcome != Outcome::Ok &&
                           call.outcome != Outcome::Refused && !displaced(call) &&
                           !failedByUnknownLine(call) && !notSent(call)) {
                    failures.push_back(describe(call) + ": no such outcome for a motor command");
                }
                break;
            }
        }
    }
    return failures;
}

TEST(LinkUnderFaults, EveryCallGetsItsOwnResultOrAnHonestError) {
    const std::uint64_t seed = fromEnvironment("EPSON_FAULT_SEED", 20261208);
    const auto duration = std::chrono::seconds(fromEnvironment("EPSON_FAULT_SECONDS", 20));
    std::cout << "fault run: seed " << seed << ", " << duration.count() << " s" << std::endl;
    SCOPED_TRACE("reproduce with EPSON_FAULT_SEED=" + std::to_string(seed));

    FaultyController controller(seed);
    controller.start();
    FaultRun run;
    QuietStdout quiet;
    run.link.connect("127.0.0.1", controller.port(), "");

    const auto stopAt = Clock::now() + duration;
    std::atomic<int> nextId{1};
    std::atomic<int> running{0};
    std::vector<std::thread> threads;
    const auto spawn = [&](std::uint64_t stream, auto body) {
        ++running;
        threads.emplace_back([&, stream, body] {
            std::mt19937_64 random(seed * 7919 + stream);
            while (Clock::now() < stopAt) {
                body(random);
            }
            --running;
        });
    };
    const auto pauseFor = [](std::mt19937_64& random, int maxMilliseconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % (maxMilliseconds + 1)));
    };

    for (const std::uint64_t stream : {1, 6}) {  // motions; the second waits behind the first
        spawn(stream, [&, stream](std::mt19937_64& random) {
            const std::string id = std::to_string(nextId++);
            run.call(Call::Kind::Motion, "M" + id, [&](Call&) {
                if (random() % 2 == 0) {
                    run.link.go("P" + id, false, false, nullopt, nullopt, nullopt, false, nullopt,
                                nullopt, nullopt);
                } else {
                    run.link.move("P" + id, false, false, false, nullopt, nullopt, false, nullopt,
                                  nullopt);
                }
            });
            pauseFor(random, stream == 1 ? 30 : 300);
        });
    }
    spawn(7, [&](std::mt19937_64& random) {  // motors on and off
        pauseFor(random, 400);
        const bool on = random() % 3 != 0;
        run.call(Call::Kind::Power, on ? "on" : "off", [&](Call&) {
            if (on) {
                run.link.motorOn();
            } else {
                run.link.motorOff();
            }
        });
    });
    for (std::uint64_t stream = 2; stream <= 3; ++stream) {  // queries
        spawn(stream, [&](std::mt19937_64& random) {
            const int id = nextId++;
            run.call(Call::Kind::Query, "Q" + std::to_string(id), [&](Call& record) {
                record.result =
                    run.link.inverseKinematics({id * 10.0, 0, 0, 0, 0, 0}, false, std::nullopt);
            });
            pauseFor(random, 40);
        });
    }
    spawn(4, [&](std::mt19937_64& random) {  // control commands, most beside motions
        const auto end = controller.motionEnd();
        bool racing = false;
        if (!end) {
            // Right after a motion ended the next one is about to start: an abort now races
            // that start, which it must never reach.
            racing = random() % 4 == 0;
            if (!racing) {
                pauseFor(random, 20);
                if (random() % 10 != 0) {
                    return;  // now and then one with no motion running
                }
            }
        } else if (random() % 2 == 0) {
            // At the very end of the motion, where its reply and the control reply cross.
            std::this_thread::sleep_until(*end - std::chrono::microseconds(random() % 4000));
        } else {
            pauseFor(random, 100);
        }
        const auto draw = random() % 20;
        const std::string command = racing      ? "$Abort"
                                    : draw < 8  ? "$Pause"
                                    : draw < 14 ? "$Continue"
                                    : draw < 17 ? "$GetStatus"
                                                : "$Abort";
        const auto sent = [&] {
            return run.call(Call::Kind::Control, command, [&](Call& record) {
                if (command == "$Pause") {
                    run.link.pause();
                } else if (command == "$Continue") {
                    run.link.continueMotion();
                } else if (command == "$GetStatus") {
                    run.link.getRemoteStatus();
                } else {
                    record.result = {run.link.abortMotion() ? 1.0 : 0.0};
                }
            });
        }();
        if (command == "$Abort" && sent.outcome == Outcome::ControlTimeout) {
            // Its reply never came: another abort at once, whose reply must not be taken for
            // the first one's.
            run.call(Call::Kind::Control, command,
                     [&](Call& record) { record.result = {run.link.abortMotion() ? 1.0 : 0.0}; });
        }
    });
    // Only this thread connects, and only once the link is down, so every loss is seen here.
    int lostAtConnect = 0;
    spawn(5, [&](std::mt19937_64& random) {  // reconnects
        pauseFor(random, 100);
        if (run.link.isConnected()) {
            return;
        }
        // A connection is never lost without some call raising for it.
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        while (run.lostReports() == lostAtConnect && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (run.lostReports() == lostAtConnect) {
            run.fail("the link went down without any call raising");
        }
        // Other calls that raise for the same loss do so at about the same time; let them
        // count for this connection, not the next.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        lostAtConnect = run.lostReports();
        try {
            run.link.connect("127.0.0.1", controller.port(), "");
        } catch (const std::exception& error) {
            run.fail(std::string("reconnect failed: ") + error.what());
        }
    });

    // Every call is bounded, so the threads end soon after stopAt; one that does not is hung.
    const auto joinBy = stopAt + std::chrono::seconds(45);
    while (running.load() > 0 && Clock::now() < joinBy) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (running.load() > 0) {
        std::cerr << "fault run: a call hung; reproduce with EPSON_FAULT_SEED=" << seed
                  << std::endl;
        std::abort();  // hung threads cannot be joined
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto runEnd = Clock::now();
    // The caller never leaves the motors on knowingly here: after disconnect() they are off,
    // whatever the faults made of the motor commands' replies.
    controller.calm();
    const bool connectedAtEnd = run.link.isConnected();
    run.link.disconnect();
    controller.stop();
    if (connectedAtEnd && controller.motorsOnAtLastClose()) {
        run.fail("the motors were left on after disconnect()");
    }

    const auto calls = run.calls();
    std::vector<std::string> failures = run.failures();
    for (const auto& failure :
         audit(calls, controller.events(), controller.abortsReceived(), runEnd)) {
        failures.push_back(failure);
    }
    for (const auto& violation : controller.violations()) {
        failures.push_back("the controller saw " + violation);
    }
    std::map<std::string, int> tally;
    for (const auto& call : calls) {
        ++tally[std::string(call.kind == Call::Kind::Motion    ? "motion "
                            : call.kind == Call::Kind::Query   ? "query "
                            : call.kind == Call::Kind::Control ? "control "
                                                               : "motor ") +
                nameOf(call.outcome)];
    }
    std::ostringstream summary;
    for (const auto& [what, count] : tally) {
        summary << "  " << what << ": " << count << "\n";
    }
    for (const auto& [fault, count] : controller.faultCounts()) {
        summary << "  fault " << fault << ": " << count << "\n";
    }
    std::cerr << "fault run summary (seed " << seed << "):\n" << summary.str();
    if (fromEnvironment("EPSON_FAULT_VERBOSE", 0) != 0) {
        // Everything in time order, for reading a failure next to the controller's side.
        std::multimap<Clock::time_point, std::string> story;
        const auto since = [&](Clock::time_point time) {
            return std::to_string(
                std::chrono::duration_cast<std::chrono::milliseconds>(time - stopAt + duration)
                    .count());
        };
        for (const auto& call : calls) {
            story.emplace(call.start, since(call.start) + " call " + call.tag);
            story.emplace(call.end, since(call.end) + " done " + describe(call));
        }
        static constexpr const char* kKinds[] = {"received", "sent", "dropped", "closed", "late"};
        for (const auto& event : controller.events()) {
            story.emplace(event.time, since(event.time) + " controller " +
                                          kKinds[static_cast<int>(event.kind)] + " #" +
                                          std::to_string(event.connection) + " " + event.line +
                                          " [" + event.tag + "]");
        }
        story.emplace(runEnd, since(runEnd) + " the run ends");
        for (const auto& [time, line] : story) {
            std::cerr << line << "\n";
        }
    }
    for (const auto& failure : failures) {
        ADD_FAILURE() << failure;
    }
    // A run in which nothing succeeded would prove nothing.
    EXPECT_GT(tally["motion ok"], 0);
    EXPECT_GT(tally["query ok"], 0);
    EXPECT_GT(tally["control ok"], 0);
}

}  // namespace
}  // namespace epson::test
