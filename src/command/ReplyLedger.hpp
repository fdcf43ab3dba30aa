#pragma once

// Who owns each reply line on one command connection. Every command written is an entry, in
// write order, with the name its reply carries and the state of its caller. Each line read is
// decided here under one lock, so that a hand-over, a drop and a failure can never disagree.
//
// The controller answers in the order of the commands, except the running $Execute, whose
// reply may come after the replies of control commands written beside it. So a line belongs to
// the oldest owed entry of its name, and an entry whose caller gave up expires once a command
// written after it has received its own reply.
//
// The ledger also keeps the motions' book, because which motion may run on the controller and
// what an abort reaches are facts about the same entries: motions are numbered when called, a
// motion statement is an entry marked as such (owed, or given up and so perhaps still running),
// and an abort marks every statement it was written beside.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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
        Blank,       ///< empty or only blanks: nobody's reply; a reader with an entry of its
                     ///< own fails as for Unknown, any other reader ignores it
        Ambiguous,   ///< cannot be told apart: the connection must be given up
    };

    /// What abort() decided, under the same lock as the motions' statements.
    struct AbortPlan {
        Ticket ticket = 0;           ///< the entry of the "$Abort" to write; 0: write none
        bool motionsCalled = false;  ///< motions were called that never send their statement
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

    // --- The motions' book ---------------------------------------------------------------

    /// Numbers a motion call, before it waits for the connection.
    std::uint64_t callMotion();
    /// Motion @p motion has ended, whatever its outcome.
    void endMotion(std::uint64_t motion);
    /// Enters a command of motion @p motion about to be written (its statement when
    /// @p statement), unless an abort has cancelled the motion first: then empty. Call with the
    /// write lock held, so that the decision keeps its place in the write order.
    std::optional<Ticket> openMotionStep(const std::string& command, std::uint64_t motion,
                                         bool statement);
    /// Whether a motion statement may still run on the controller: one owed its reply, or
    /// given up by its caller and not known to have ended.
    bool statementMayRun() const;
    /// statementMayRun(), or a motion was called that has not ended.
    bool motionMayRun() const;
    /// An abort: cancels every motion called so far that has not sent its statement and, when
    /// a statement may still run, enters "$Abort" beside it and marks that statement aborted.
    /// Call with the write lock held.
    AbortPlan abort();
    /// Whether an "$Abort" was written while the statement of @p ticket was owed; asking
    /// forgets it.
    bool takeAborted(Ticket ticket);

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
        bool statement = false;  // a motion statement
    };

    Ticket openUnlocked(const std::string& command, bool sidePath);
    Verdict decideLocked(const std::string& line, Ticket reader);
    bool statementMayRunLocked() const;
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
    std::uint64_t lastMotionCall_ = 0;
    std::uint64_t cancelledThrough_ = 0;     ///< motions up to this one never send their statement
    int activeMotions_ = 0;                  ///< motion calls not yet ended
    std::vector<Ticket> abortedStatements_;  ///< statements an "$Abort" was written beside
    /// Motions whose statement went out and whose call has not ended: until it returns, an
    /// abort still goes beside it, even once its reply is in.
    std::vector<std::uint64_t> statementsOut_;
};

/// Whether @p line holds nothing but blanks: no reply of any command.
bool isBlankLine(const std::string& line);

/// The name a reply line carries: after "#" or "!" up to the first comma. Empty for a line of
/// another form, and for an error line whose name is missing or a bare number ("!99").
std::string replyName(const std::string& line);

}  // namespace epson
