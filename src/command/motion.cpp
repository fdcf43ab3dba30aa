// Go and Move motions, and the end of a motion with respect to the control side path.

#include <cmath>
#include <stdexcept>

#include "CellCommandLinkImpl.hpp"
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
    explicit MotionScope(Impl& impl) : impl_(impl) { impl_.motionInProgress_.exchange(true); }
    ~MotionScope() { impl_.finishMotion_(); }
    MotionScope(const MotionScope&) = delete;
    MotionScope& operator=(const MotionScope&) = delete;

  private:
    Impl& impl_;
};

void CellCommandLink::Impl::finishMotion_() noexcept {
    std::lock_guard pending(pendingMutex_);
    motionInProgress_.exchange(false);
    // A control command still owed its reply stops relying on this motion's reader.
    pendingCondition_.notify_all();
}

void CellCommandLink::Impl::sendMotionStep_(const std::string& command,
                                            std::chrono::milliseconds timeout,
                                            std::uint64_t abortsBefore) {
    if (abortRequests_.load() != abortsBefore) {
        throw std::runtime_error("Epson motion was aborted before it started");
    }
    command_(command, timeout);
}

void CellCommandLink::Impl::go(const std::string& destination, bool cp, bool ljm,
                               const std::optional<int>& orientation_flag,
                               const std::optional<std::string>& search_expression,
                               const std::optional<std::string>& parallel_processing, bool sync,
                               const std::optional<int>& speed_percent,
                               const std::optional<int>& acceleration_percent,
                               const std::optional<int>& deceleration_percent) {
    // Read before waiting for the connection: an abort requested meanwhile cancels this call.
    const std::uint64_t abortsBefore = abortRequests_.load();
    std::lock_guard lock(commandMutex_);
    MotionScope motion(*this);

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
                        abortsBefore);
    }
    if (acceleration_percent) {
        const int deceleration = deceleration_percent.value_or(*acceleration_percent);
        sendMotionStep_(executeCommand("Accel " + std::to_string(*acceleration_percent) + ", " +
                                       std::to_string(deceleration)),
                        kCommandTimeout, abortsBefore);
    }
    sendMotionStep_(executeCommand(statement), kMotionTimeout, abortsBefore);
}

void CellCommandLink::Impl::move(const std::string& destination, bool rot, bool ecp, bool cp,
                                 const std::optional<std::string>& search_expression,
                                 const std::optional<std::string>& parallel_processing, bool sync,
                                 const std::optional<double>& speed_mm_s,
                                 const std::optional<double>& acceleration_mm_s2) {
    const std::uint64_t abortsBefore = abortRequests_.load();
    std::lock_guard lock(commandMutex_);
    MotionScope motion(*this);

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
                        kCommandTimeout, abortsBefore);
    }
    if (acceleration_mm_s2) {
        sendMotionStep_(executeCommand("AccelS " + spel::formatFixed(*acceleration_mm_s2, 17)),
                        kCommandTimeout, abortsBefore);
    }
    sendMotionStep_(executeCommand(statement), kMotionTimeout, abortsBefore);
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
