#pragma once

// Who owns each reply line on one command connection. Every command written is an entry, in
// write order, with the name its reply carries and the state of its caller. Each line read is
// decided here under one lock, so that a hand-over, a drop and a failure can never disagree.
//
// The controller answers in the order of the commands, except the running $Execute, whose
// reply may come after the replies of control commands written beside it. So a line belongs to
// the oldest owed entry of its name, and an entry whose caller gave up expires once a command
// written after it has received its own reply.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace epson {

class ReplyLedger {
  public:
    using Clock = std::chrono::steady_clock;
    using Ticket = std::uint64_t;

    /// How a line read by the holder of a ticket was decided.
    enum class Verdict {
        Own,         ///< the reader's own reply
        HandedOver,  ///< stored for a waiting side-path command, which was woken
        Dropped,     ///< owed to a caller that gave up
        Unknown,     ///< matches nothing owed: the reader fails, its own entry stays owed
        Ambiguous,   ///< cannot be told apart: the connection must be given up
    };

    /// What a side-path command's wait ended with.
    struct Outcome {
        std::optional<std::string> reply;    ///< its reply line
        std::optional<std::string> failure;  ///< the connection was closed under it
    };

    /// Enters a command about to be written. @p sidePath: its reply is handed over by whoever
    /// reads, and collected with collect(); otherwise its writer reads for it.
    Ticket open(const std::string& command, bool sidePath);
    /// The caller of @p ticket stops waiting: its reply, should it still come, is dropped.
    /// Returns the reply when it came meanwhile.
    Outcome giveUp(Ticket ticket);
    /// Forgets @p ticket whose command was never written.
    void withdraw(Ticket ticket);
    /// Decides @p line for the reader holding @p reader (0: a reader with no entry of its own).
    /// On Unknown the reader's entry is kept as given up, so that its late reply is dropped.
    Verdict decide(const std::string& line, Ticket reader);

    /// Waits until @p ticket is answered or failed, or @p until. Ticket 0 waits for any decision.
    void waitFor(Ticket ticket, Clock::time_point until);
    /// While a motion's reader is present, waits until @p ticket is answered or failed, the
    /// reader leaves, or @p until; returns false at once when no reader is present. One check
    /// under the lock, so that a reader leaving just before the wait cannot go unnoticed.
    bool waitBesideMotion(Ticket ticket, Clock::time_point until);
    /// The reply or failure of a side-path command, once it has one; the entry is removed then.
    std::optional<Outcome> collect(Ticket ticket);

    /// Whether a command of @p command's name would have to share its reply name with an entry
    /// whose caller gave up: its reply could not be told from that one's.
    bool collides(const std::string& command) const;
    /// Forgets the entries of @p command's name whose caller gave up: their replies are known
    /// to have come, or never to come.
    void forget(const std::string& command);
    /// Whether an entry whose caller waits is owed a reply of @p command's name.
    bool waiting(const std::string& command) const;

    /// The connection is gone: every side-path command still waiting fails with @p failure,
    /// and nothing else is owed any more.
    void closeConnection(const std::string& failure);

    /// While set, a reader inside the running motion hands lines across; side-path commands
    /// sent meanwhile rely on it. Clearing it wakes them, so that they read for themselves.
    void setMotionReader(bool present);
    /// Runs @p body under the ledger's lock when a motion's reader is present; returns
    /// whether it ran. Lets the side path enter its command atomically with that check.
    template <typename Body>
    bool ifMotionReader(Body&& body) {
        std::lock_guard lock(mutex_);
        if (!motionReader_) {
            return false;
        }
        body();
        return true;
    }
    /// Enters a side-path command; the ledger's lock must be held (inside ifMotionReader()).
    Ticket openLocked(const std::string& command);
    /// waiting() for a command named @p name, with the ledger's lock held.
    bool waitingLocked(const std::string& name) const;

  private:
    enum class State { Waiting, GaveUp, Answered, Failed };
    struct Entry {
        Ticket ticket;
        std::string name;  // the command's name: "Execute", "Pause"
        bool sidePath;
        State state;
        std::string reply;
        std::string failure;
    };

    Ticket openUnlocked(const std::string& command, bool sidePath);
    std::deque<Entry>::iterator find(Ticket ticket);
    /// Entries whose caller gave up and that were written before @p position expire: a later
    /// command has its reply, so theirs will not come any more, except that of an $Execute,
    /// which may be the running motion.
    void expireBefore(std::size_t position);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Entry> entries_;
    Ticket nextTicket_ = 1;
    bool motionReader_ = false;
};

/// The name a reply line carries: after "#" or "!" up to the first comma. Empty for a line of
/// another form, and for an error line whose name is missing or a bare number ("!99").
std::string replyName(const std::string& line);

}  // namespace epson
