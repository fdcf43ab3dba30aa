// Go and Move motions, and the end of a motion with respect to the control side path.

#include <cmath>
#include <stdexcept>

#include "CellCommandLinkImpl.hpp"
#include "epson/errors.hpp"
#include "spel_text.hpp"

namespace epson {

namespace {

/// A verbatim text must not end the quoted $Execute statement or the command line early.
void requireVerbatimSafe(const std::string& text, const char* name) {
    if (text.find_first_of("\"\r\n") != std::string::npos) {
        throw std::invalid_argument(std::string(name) + " must not contain quotes or line endings");
    }
    requireTransmittable(text, name);
}

/// Appends the search clause and the parallel statement, shared by Go and Move.
void appendSearchAndParallel(std::string& statement,
                             const std::optional<std::string>& search_expression,
                             const std::optional<std::string>& parallel_processing) {
    if (search_expression) {
        if (search_expression->empty()) {
            throw std::invalid_argument("search_expression must not be empty");
        }
        requireVerbatimSafe(*search_expression, "search_expression");
        statement += " " + *search_expression;
    }
    if (parallel_processing) {
        if (parallel_processing->empty()) {
            throw std::invalid_argument("parallel_processing must not be empty");
        }
        requireVerbatimSafe(*parallel_processing, "parallel_processing");
        statement += " !" + *parallel_processing + "!";
    }
}

std::string executeCommand(const std::string& statement) {
    return "$Execute,\"" + statement + "\"";
}

}  // namespace

class CellCommandLink::Impl::MotionScope {
  public:
    /// Counts the motion call @p id as active until the scope ends; once @p locked, the motion
    /// holds the connection and its reader hands control replies across.
    MotionScope(Impl& impl, std::uint64_t id) : impl_(impl), id_(id) {}
    /// The motion holds the connection: motionInProgress_ is set from construction until
    /// destruction, which comes before the command lock is released.
    class Running {
      public:
        explicit Running(MotionScope& scope) : scope_(scope) {
            scope_.impl_.motionInProgress_.exchange(true);
            scope_.impl_.ledger_.setMotionReader(true);
        }
        ~Running() { scope_.impl_.finishMotion_(scope_.ended_); }
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;

      private:
        MotionScope& scope_;
    };
    ~MotionScope() {
        std::lock_guard motion(impl_.motionMutex_);
        if (!ended_) {
            --impl_.activeMotions_;
        }
    }
    MotionScope(const MotionScope&) = delete;
    MotionScope& operator=(const MotionScope&) = delete;
    std::uint64_t id() const { return id_; }

  private:
    Impl& impl_;
    std::uint64_t id_;
    bool ended_ = false;  ///< no longer counted as active; guarded by motionMutex_
};

std::uint64_t CellCommandLink::Impl::registerMotion_() {
    std::lock_guard motion(motionMutex_);
    ++activeMotions_;
    return ++lastMotionCall_;
}

void CellCommandLink::Impl::finishMotion_(bool& ended) noexcept {
    {
        // Cleared first: an abort that finds no running motion must not find its reader either.
        // In the same step the motion stops counting as active, so that such an abort never
        // takes an ended motion for one that has yet to send its statement.
        std::lock_guard motion(motionMutex_);
        runningMotion_ = 0;
        if (!ended) {
            ended = true;
            --activeMotions_;
        }
    }
    motionInProgress_.exchange(false);
    // A side-path command still owed its reply stops relying on this motion's reader.
    ledger_.setMotionReader(false);
}

void CellCommandLink::Impl::sendMotionStep_(const std::string& command,
                                            std::chrono::milliseconds timeout, MotionStep step) {
    if (!connected_ || !socket_.is_open()) {
        throw NotConnectedError("command() was called but socket not connected");
    }
    requireTransmittable(command, "command", kMaxCommandBytes);
    settleCollision_(command, timeout);
    try {
        exchange_(command, timeout, step);
    } catch (const ControllerError& error) {
        bool aborted = false;
        {
            std::lock_guard motion(motionMutex_);
            aborted = step.statement && abortSentFor_ == step.motion;
        }
        if (aborted && dynamic_cast<const MotionAbortedError*>(&error) == nullptr) {
            throw MotionAbortedError(error.what(), error.reply(), error.command());
        }
        throw;
    }
}

void CellCommandLink::Impl::go(const std::string& destination, bool cp, bool ljm,
                               const std::optional<int>& orientation_flag,
                               const std::optional<std::string>& search_expression,
                               const std::optional<std::string>& parallel_processing, bool sync,
                               const std::optional<int>& speed_percent,
                               const std::optional<int>& acceleration_percent,
                               const std::optional<int>& deceleration_percent) {
    // Numbered before waiting for the connection: an abort requested meanwhile cancels it.
    MotionScope motion(*this, registerMotion_());
    std::lock_guard lock(commandMutex_);
    const MotionScope::Running running(motion);

    if (destination.empty()) {
        throw std::invalid_argument("Go destination must not be empty");
    }
    requireVerbatimSafe(destination, "destination");
    if (orientation_flag && !ljm) {
        throw std::invalid_argument("orientation_flag can only be used when LJM is enabled");
    }
    if (speed_percent && *speed_percent > 100) {
        throw std::invalid_argument("speed_percent must be between 1 and 100");
    }
    for (const auto& [value, name] : {std::pair{&speed_percent, "speed_percent"},
                                      std::pair{&acceleration_percent, "acceleration_percent"},
                                      std::pair{&deceleration_percent, "deceleration_percent"}}) {
        if (*value && **value < 1) {
            throw std::invalid_argument(std::string(name) + " must be at least 1");
        }
    }
    if (deceleration_percent && !acceleration_percent) {
        throw std::invalid_argument("deceleration_percent requires acceleration_percent");
    }

    std::string statement = "Go " + destination;
    if (cp) {
        statement += " CP";
    }
    if (ljm) {
        statement += " LJM";
        if (orientation_flag) {
            statement += " " + std::to_string(*orientation_flag);
        }
    }
    appendSearchAndParallel(statement, search_expression, parallel_processing);
    if (sync) {
        statement += " SYNC";
    }

    if (speed_percent) {
        sendMotionStep_(executeCommand("Speed " + std::to_string(*speed_percent)), kCommandTimeout,
                        {motion.id(), false});
    }
    if (acceleration_percent) {
        const int deceleration = deceleration_percent.value_or(*acceleration_percent);
        sendMotionStep_(executeCommand("Accel " + std::to_string(*acceleration_percent) + ", " +
                                       std::to_string(deceleration)),
                        kCommandTimeout, {motion.id(), false});
    }
    sendMotionStep_(executeCommand(statement), kMotionTimeout, {motion.id(), true});
}

void CellCommandLink::Impl::move(const std::string& destination, bool rot, bool ecp, bool cp,
                                 const std::optional<std::string>& search_expression,
                                 const std::optional<std::string>& parallel_processing, bool sync,
                                 const std::optional<double>& speed_mm_s,
                                 const std::optional<double>& acceleration_mm_s2) {
    MotionScope motion(*this, registerMotion_());
    std::lock_guard lock(commandMutex_);
    const MotionScope::Running running(motion);

    if (destination.empty()) {
        throw std::invalid_argument("Move destination must not be empty");
    }
    requireVerbatimSafe(destination, "destination");
    for (const auto& [value, name] : {std::pair{&speed_mm_s, "speed_mm_s"},
                                      std::pair{&acceleration_mm_s2, "acceleration_mm_s2"}}) {
        if (*value && !(std::isfinite(**value) && **value > 0.0)) {
            throw std::invalid_argument(std::string(name) + " must be finite and positive");
        }
    }

    std::string statement = "Move " + destination;
    if (rot) {
        statement += " ROT";
    }
    if (ecp) {
        statement += " ECP";
    }
    if (cp) {
        statement += " CP";
    }
    appendSearchAndParallel(statement, search_expression, parallel_processing);
    if (sync) {
        statement += " SYNC";
    }

    if (speed_mm_s) {
        sendMotionStep_(executeCommand("SpeedS " + spel::formatFixed(*speed_mm_s, 17)),
                        kCommandTimeout, {motion.id(), false});
    }
    if (acceleration_mm_s2) {
        sendMotionStep_(executeCommand("AccelS " + spel::formatFixed(*acceleration_mm_s2, 17)),
                        kCommandTimeout, {motion.id(), false});
    }
    sendMotionStep_(executeCommand(statement), kMotionTimeout, {motion.id(), true});
}

void CellCommandLink::go(const std::string& destination, bool cp, bool ljm,
                         const std::optional<int>& orientation_flag,
                         const std::optional<std::string>& search_expression,
                         const std::optional<std::string>& parallel_processing, bool sync,
                         const std::optional<int>& speed_percent,
                         const std::optional<int>& acceleration_percent,
                         const std::optional<int>& deceleration_percent) {
    impl_->go(destination, cp, ljm, orientation_flag, search_expression, parallel_processing, sync,
              speed_percent, acceleration_percent, deceleration_percent);
}

void CellCommandLink::move(const std::string& destination, bool rot, bool ecp, bool cp,
                           const std::optional<std::string>& search_expression,
                           const std::optional<std::string>& parallel_processing, bool sync,
                           const std::optional<double>& speed_mm_s,
                           const std::optional<double>& acceleration_mm_s2) {
    impl_->move(destination, rot, ecp, cp, search_expression, parallel_processing, sync, speed_mm_s,
                acceleration_mm_s2);
}

}  // namespace epson
