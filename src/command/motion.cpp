// Go and Move motions, and the end of a motion with respect to the control side path.

#include <cmath>
#include <stdexcept>
#include <vector>

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
    /// Counts the motion call @p id in the ledger until the scope ends; once Running, the
    /// motion holds the connection and its reader hands control replies across.
    MotionScope(Impl& impl, std::uint64_t id) : impl_(impl), id_(id) {}
    /// The motion holds the connection: motionInProgress_ mirrors the ledger's motion reader
    /// from construction until destruction, which comes before the command lock is released.
    class Running {
      public:
        explicit Running(MotionScope& scope) : scope_(scope) {
            scope_.impl_.motionInProgress_.exchange(true);
            scope_.impl_.ledger_.setMotionReader(true);
        }
        ~Running() {
            // A side-path command still owed its reply stops relying on this motion's reader.
            scope_.impl_.motionInProgress_.exchange(false);
            scope_.impl_.ledger_.setMotionReader(false);
        }
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;

      private:
        MotionScope& scope_;
    };
    ~MotionScope() { impl_.ledger_.endMotion(id_); }
    MotionScope(const MotionScope&) = delete;
    MotionScope& operator=(const MotionScope&) = delete;
    std::uint64_t id() const { return id_; }

  private:
    Impl& impl_;
    std::uint64_t id_;
};

void CellCommandLink::Impl::sendMotionStep_(const std::string& command,
                                            std::chrono::milliseconds timeout, MotionStep step) {
    commandReply_(command, timeout, step);
}

namespace {

/// Checks a request as the statement's rules say, before anything is sent.
void validate(const MotionRequest& request) {
    const bool go = request.kind == MotionRequest::Kind::Go;
    if (request.destination.empty()) {
        throw std::invalid_argument(go ? "Go destination must not be empty"
                                       : "Move destination must not be empty");
    }
    requireVerbatimSafe(request.destination, "destination");
    if (go) {
        if (request.orientation_flag && !request.ljm) {
            throw std::invalid_argument("orientation_flag can only be used when LJM is enabled");
        }
        if (request.speed_percent && *request.speed_percent > 100) {
            throw std::invalid_argument("speed_percent must be between 1 and 100");
        }
        for (const auto& [value, name] :
             {std::pair{&request.speed_percent, "speed_percent"},
              std::pair{&request.acceleration_percent, "acceleration_percent"},
              std::pair{&request.deceleration_percent, "deceleration_percent"}}) {
            if (*value && **value < 1) {
                throw std::invalid_argument(std::string(name) + " must be at least 1");
            }
        }
        if (request.deceleration_percent && !request.acceleration_percent) {
            throw std::invalid_argument("deceleration_percent requires acceleration_percent");
        }
        return;
    }
    for (const auto& [value, name] :
         {std::pair{&request.speed_mm_s, "speed_mm_s"},
          std::pair{&request.acceleration_mm_s2, "acceleration_mm_s2"}}) {
        if (*value && !(std::isfinite(**value) && **value > 0.0)) {
            throw std::invalid_argument(std::string(name) + " must be finite and positive");
        }
    }
}

/// The SPEL+ statement of a validated request, with its modifiers in the statement's order.
std::string statementOf(const MotionRequest& request) {
    const bool go = request.kind == MotionRequest::Kind::Go;
    std::string statement = (go ? "Go " : "Move ") + request.destination;
    if (go) {
        if (request.cp) {
            statement += " CP";
        }
        if (request.ljm) {
            statement += " LJM";
            if (request.orientation_flag) {
                statement += " " + std::to_string(*request.orientation_flag);
            }
        }
    } else {
        if (request.rot) {
            statement += " ROT";
        }
        if (request.ecp) {
            statement += " ECP";
        }
        if (request.cp) {
            statement += " CP";
        }
    }
    appendSearchAndParallel(statement, request.search_expression, request.parallel_processing);
    if (request.sync) {
        statement += " SYNC";
    }
    return statement;
}

/// The settings sent ahead of the statement, in their order.
std::vector<std::string> settingsOf(const MotionRequest& request) {
    std::vector<std::string> settings;
    if (request.kind == MotionRequest::Kind::Go) {
        if (request.speed_percent) {
            settings.push_back(executeCommand("Speed " + std::to_string(*request.speed_percent)));
        }
        if (request.acceleration_percent) {
            const int deceleration =
                request.deceleration_percent.value_or(*request.acceleration_percent);
            settings.push_back(executeCommand("Accel " +
                                              std::to_string(*request.acceleration_percent) + ", " +
                                              std::to_string(deceleration)));
        }
    } else {
        if (request.speed_mm_s) {
            settings.push_back(
                executeCommand("SpeedS " + spel::formatFixed(*request.speed_mm_s, 17)));
        }
        if (request.acceleration_mm_s2) {
            settings.push_back(
                executeCommand("AccelS " + spel::formatFixed(*request.acceleration_mm_s2, 17)));
        }
    }
    return settings;
}

}  // namespace

void CellCommandLink::Impl::runMotion(const MotionRequest& request) {
    // Numbered before waiting for the connection: an abort requested meanwhile cancels it.
    MotionScope motion(*this, ledger_.callMotion());
    std::lock_guard lock(commandMutex_);
    const MotionScope::Running running(motion);
    validate(request);
    const std::string statement = statementOf(request);
    for (const auto& setting : settingsOf(request)) {
        sendMotionStep_(setting, kCommandTimeout, {motion.id(), false});
    }
    sendMotionStep_(executeCommand(statement), kMotionTimeout, {motion.id(), true});
}

void CellCommandLink::Impl::go(const std::string& destination, bool cp, bool ljm,
                               const std::optional<int>& orientation_flag,
                               const std::optional<std::string>& search_expression,
                               const std::optional<std::string>& parallel_processing, bool sync,
                               const std::optional<int>& speed_percent,
                               const std::optional<int>& acceleration_percent,
                               const std::optional<int>& deceleration_percent) {
    MotionRequest request;
    request.kind = MotionRequest::Kind::Go;
    request.destination = destination;
    request.cp = cp;
    request.ljm = ljm;
    request.orientation_flag = orientation_flag;
    request.search_expression = search_expression;
    request.parallel_processing = parallel_processing;
    request.sync = sync;
    request.speed_percent = speed_percent;
    request.acceleration_percent = acceleration_percent;
    request.deceleration_percent = deceleration_percent;
    runMotion(request);
}

void CellCommandLink::Impl::move(const std::string& destination, bool rot, bool ecp, bool cp,
                                 const std::optional<std::string>& search_expression,
                                 const std::optional<std::string>& parallel_processing, bool sync,
                                 const std::optional<double>& speed_mm_s,
                                 const std::optional<double>& acceleration_mm_s2) {
    MotionRequest request;
    request.kind = MotionRequest::Kind::Move;
    request.destination = destination;
    request.rot = rot;
    request.ecp = ecp;
    request.cp = cp;
    request.search_expression = search_expression;
    request.parallel_processing = parallel_processing;
    request.sync = sync;
    request.speed_mm_s = speed_mm_s;
    request.acceleration_mm_s2 = acceleration_mm_s2;
    runMotion(request);
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
