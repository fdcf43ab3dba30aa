// The reply ledger of one command connection.

#include "ReplyLedger.hpp"

#include <algorithm>

#include "spel_text.hpp"

namespace epson {

namespace {

/// The command's name: after "$" up to the first comma.
std::string commandName(const std::string& command) {
    const std::string name = command.empty() ? std::string() : command.substr(1);
    return name.substr(0, name.find(','));
}

constexpr const char* kExecuteName = "Execute";

}  // namespace

bool isBlankLine(const std::string& line) {
    return line.find_first_not_of(" \t\r\n\v\f") == std::string::npos;
}

std::string replyName(const std::string& line) {
    if (line.empty() || (line.front() != '#' && line.front() != '!')) {
        return {};
    }
    std::string name = line.substr(
        1, line.find(',') == std::string::npos ? std::string::npos : line.find(',') - 1);
    if (line.front() == '!' && name.find_first_not_of("0123456789") == std::string::npos) {
        return {};  // "!" or "!99": an error that does not say whose it is
    }
    return name;
}

ReplyLedger::Ticket ReplyLedger::open(const std::string& command, bool sidePath) {
    std::lock_guard lock(mutex_);
    return openUnlocked(command, sidePath);
}

ReplyLedger::Ticket ReplyLedger::openLocked(const std::string& command) {
    return openUnlocked(command, true);
}

ReplyLedger::Ticket ReplyLedger::openUnlocked(const std::string& command, bool sidePath) {
    const Ticket ticket = nextTicket_++;
    entries_.push_back(Entry{ticket, commandName(command), sidePath, State::Waiting, {}, {}});
    return ticket;
}

std::deque<ReplyLedger::Entry>::iterator ReplyLedger::find(Ticket ticket) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [ticket](const Entry& entry) { return entry.ticket == ticket; });
}

ReplyLedger::Outcome ReplyLedger::giveUp(Ticket ticket) {
    std::lock_guard lock(mutex_);
    const auto entry = find(ticket);
    if (entry == entries_.end()) {
        return {};
    }
    Outcome outcome;
    if (entry->state == State::Answered) {
        outcome.reply = std::move(entry->reply);
    } else if (entry->state == State::Failed) {
        outcome.failure = std::move(entry->failure);
    } else {
        entry->state = State::GaveUp;
        return outcome;
    }
    entries_.erase(entry);
    return outcome;
}

void ReplyLedger::withdraw(Ticket ticket) {
    std::lock_guard lock(mutex_);
    if (const auto entry = find(ticket); entry != entries_.end()) {
        entries_.erase(entry);
    }
}

ReplyLedger::Verdict ReplyLedger::decide(const std::string& line, Ticket reader) {
    Verdict verdict{};
    {
        std::lock_guard lock(mutex_);
        verdict = decideLocked(line, reader);
    }
    // Every decision may settle a wait: a hand-over, or an expiry that ends a collision. Woken
    // after the lock is released, so that the waiter does not wake only to block on it.
    changed_.notify_all();
    return verdict;
}

ReplyLedger::Verdict ReplyLedger::decideLocked(const std::string& line, Ticket reader) {
    const auto owed = [](const Entry& entry) {
        return entry.state == State::Waiting || entry.state == State::GaveUp;
    };
    const auto keepOwnAsGivenUp = [&] {
        if (const auto own = find(reader); own != entries_.end() && own->state == State::Waiting) {
            own->state = State::GaveUp;
        }
    };
    if (isBlankLine(line)) {
        // Never a reply: whoever's reply it displaced, if any, is unknown, so the reader's own
        // entry stays owed and its real reply is dropped when it comes.
        keepOwnAsGivenUp();
        return Verdict::Blank;
    }
    auto owner = entries_.end();
    const std::string name = replyName(line);
    if (!line.empty() && line.front() == '#') {
        // "#LoginXYZ" answers a login: a reply is recognised by its prefix.
        owner = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
            return owed(entry) && spel::startsWith(line, "#" + entry.name);
        });
    } else if (!line.empty() && line.front() == '!') {
        if (!name.empty()) {
            owner = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
                return owed(entry) && entry.name == name;
            });
        } else {
            const auto count = std::count_if(entries_.begin(), entries_.end(), owed);
            if (count > 1) {
                return Verdict::Ambiguous;
            }
            owner = std::find_if(entries_.begin(), entries_.end(), owed);
        }
    }
    if (owner == entries_.end()) {
        keepOwnAsGivenUp();
        return Verdict::Unknown;
    }

    const Ticket ticket = owner->ticket;
    expireBefore(static_cast<std::size_t>(owner - entries_.begin()));
    owner = find(ticket);
    Verdict verdict = Verdict::Own;
    if (ticket == reader) {
        if (owner->sidePath) {
            owner->state = State::Answered;  // collected by its own waiting call
            owner->reply = line;
        } else {
            entries_.erase(owner);
        }
    } else if (owner->state == State::GaveUp) {
        entries_.erase(owner);
        verdict = Verdict::Dropped;
    } else if (owner->sidePath) {
        owner->state = State::Answered;
        owner->reply = line;
        verdict = Verdict::HandedOver;
    } else {
        // Another reader's own reply: there is only ever one reader, so the stream is not
        // what the ledger believes it is.
        verdict = Verdict::Ambiguous;
    }
    return verdict;
}

void ReplyLedger::expireBefore(std::size_t position) {
    std::size_t index = 0;
    std::erase_if(entries_, [&](const Entry& entry) {
        return index++ < position && entry.state == State::GaveUp && entry.name != kExecuteName;
    });
}

void ReplyLedger::waitFor(Ticket ticket, Clock::time_point until) {
    std::unique_lock lock(mutex_);
    if (ticket == 0) {
        changed_.wait_until(lock, until);
        return;
    }
    changed_.wait_until(lock, until, [&] {
        const auto entry = find(ticket);
        return entry == entries_.end() || entry->state != State::Waiting;
    });
}

bool ReplyLedger::waitBesideMotion(Ticket ticket, Clock::time_point until) {
    std::unique_lock lock(mutex_);
    if (!motionReader_) {
        return false;
    }
    changed_.wait_until(lock, until, [&] {
        const auto entry = find(ticket);
        return entry == entries_.end() || entry->state != State::Waiting || !motionReader_;
    });
    return true;
}

std::optional<ReplyLedger::Outcome> ReplyLedger::collect(Ticket ticket) {
    std::lock_guard lock(mutex_);
    const auto entry = find(ticket);
    if (entry == entries_.end()) {
        return Outcome{};  // closed and forgotten: nothing will come
    }
    if (entry->state != State::Answered && entry->state != State::Failed) {
        return std::nullopt;
    }
    Outcome outcome;
    if (entry->state == State::Answered) {
        outcome.reply = std::move(entry->reply);
    } else {
        outcome.failure = std::move(entry->failure);
    }
    entries_.erase(entry);
    return outcome;
}

bool ReplyLedger::collides(const std::string& command) const {
    const std::string name = commandName(command);
    std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
        return entry.state == State::GaveUp && entry.name == name;
    });
}

void ReplyLedger::forget(const std::string& command) {
    const std::string name = commandName(command);
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& entry) {
        return entry.state == State::GaveUp && entry.name == name;
    });
}

bool ReplyLedger::waiting(const std::string& command) const {
    std::lock_guard lock(mutex_);
    return waitingLocked(commandName(command));
}

bool ReplyLedger::waitingLocked(const std::string& name) const {
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
        return entry.sidePath && entry.state == State::Waiting && entry.name == name;
    });
}

void ReplyLedger::closeConnection(const std::string& failure) {
    {
        std::lock_guard lock(mutex_);
        abortedStatements_.clear();
        statementsOut_.clear();
        std::erase_if(entries_, [&](Entry& entry) {
            if (entry.sidePath && entry.state == State::Waiting) {
                entry.state = State::Failed;
                entry.failure = failure;
            }
            return !entry.sidePath || entry.state == State::GaveUp;
        });
    }
    changed_.notify_all();
}

void ReplyLedger::setMotionReader(bool present) {
    {
        std::lock_guard lock(mutex_);
        motionReader_ = present;
    }
    changed_.notify_all();
}

std::uint64_t ReplyLedger::callMotion() {
    std::lock_guard lock(mutex_);
    ++activeMotions_;
    return ++lastMotionCall_;
}

void ReplyLedger::endMotion(std::uint64_t motion) {
    std::lock_guard lock(mutex_);
    --activeMotions_;
    std::erase(statementsOut_, motion);
}

std::optional<ReplyLedger::Ticket> ReplyLedger::openMotionStep(const std::string& command,
                                                               std::uint64_t motion,
                                                               bool statement) {
    std::lock_guard lock(mutex_);
    if (cancelledThrough_ >= motion) {
        return std::nullopt;
    }
    const Ticket ticket = openUnlocked(command, false);
    entries_.back().statement = statement;
    if (statement) {
        statementsOut_.push_back(motion);
    }
    return ticket;
}

bool ReplyLedger::statementMayRunLocked() const {
    return !statementsOut_.empty() ||
           std::any_of(entries_.begin(), entries_.end(), [](const Entry& entry) {
               return entry.statement &&
                      (entry.state == State::Waiting || entry.state == State::GaveUp);
           });
}

bool ReplyLedger::statementMayRun() const {
    std::lock_guard lock(mutex_);
    return statementMayRunLocked();
}

bool ReplyLedger::motionMayRun() const {
    std::lock_guard lock(mutex_);
    return activeMotions_ > 0 || statementMayRunLocked();
}

ReplyLedger::AbortPlan ReplyLedger::abort() {
    std::lock_guard lock(mutex_);
    AbortPlan plan;
    cancelledThrough_ = lastMotionCall_;
    if (statementMayRunLocked()) {
        for (const auto& entry : entries_) {
            if (entry.statement &&
                (entry.state == State::Waiting || entry.state == State::GaveUp)) {
                abortedStatements_.push_back(entry.ticket);
            }
        }
        plan.ticket = openUnlocked("$Abort", true);
    } else {
        plan.motionsCalled = activeMotions_ > 0;
    }
    return plan;
}

bool ReplyLedger::takeAborted(Ticket ticket) {
    std::lock_guard lock(mutex_);
    const auto found = std::find(abortedStatements_.begin(), abortedStatements_.end(), ticket);
    if (found == abortedStatements_.end()) {
        return false;
    }
    abortedStatements_.erase(found);
    return true;
}

}  // namespace epson
