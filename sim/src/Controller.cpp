#include "Controller.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "PoseMath.hpp"

namespace epson::sim::detail {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Path samples of a Move: one per this many mm or degrees, within the bounds below.
constexpr double kPathStep = 2.0;
constexpr int kMinPathSegments = 8;
constexpr int kMaxPathSegments = 500;

std::int64_t bit(bool on, int index) {
    return on ? (std::int64_t{1} << index) : 0;
}

// Completes a plan with its profile and the record of the motion it describes.
MotionPlan withProfile(MotionPlan plan, const Trapezoid& profile, MotionRecord record) {
    plan.profile = profile;
    record.kind = plan.kind;
    record.start = plan.start;
    record.target = plan.target;
    record.durationSeconds = profile.duration();
    plan.record = std::move(record);
    return plan;
}

}  // namespace

Controller::Controller(const MotionLimits& limits, double timeScale)
    : limits_(limits), timeScale_(timeScale), joints_(model_.home()) {}

Pose Controller::toolPose() const {
    if (tool > 0 && tool < static_cast<int>(tools.size()) && tools[tool]) {
        return *tools[tool];
    }
    return Pose{};
}

double Controller::simulatedElapsed(const ActiveMotion& motion, Clock::time_point now) const {
    const Clock::time_point until = motion.pausedAt ? *motion.pausedAt : now;
    const auto wall = until - motion.start - motion.pausedTotal;
    return std::chrono::duration<double>(wall).count() / timeScale_;
}

Joints Controller::jointsAt(const MotionPlan& plan, double fraction) const {
    if (fraction >= 1.0) {
        return plan.target;
    }
    if (fraction <= 0.0) {
        return plan.start;
    }
    Joints result{};
    if (plan.kind == MotionKind::Go) {
        for (std::size_t i = 0; i < result.size(); ++i) {
            result[i] = plan.start[i] + (plan.target[i] - plan.start[i]) * fraction;
        }
        return result;
    }
    const double index = fraction * static_cast<double>(plan.path.size() - 1);
    const Joints& seed = plan.path[static_cast<std::size_t>(std::lround(index))];
    const auto solved = model_.inverseNearest(
        interpolatePose(plan.startPose, plan.targetPose, fraction), plan.tool, seed);
    return solved ? *solved : seed;
}

MotionPlan Controller::planGo(const Joints& target, MotionRecord record) const {
    MotionPlan plan;
    plan.kind = MotionKind::Go;
    plan.start = joints_;
    plan.target = target;
    plan.tool = toolPose();
    // One normalised profile for all joints: each limit divided by that joint's distance, the
    // tightest one wins, so every joint stays within its own limits and all arrive together.
    double velocity = kInfinity;
    double acceleration = kInfinity;
    double deceleration = kInfinity;
    for (std::size_t i = 0; i < target.size(); ++i) {
        const double distance = std::abs(target[i] - joints_[i]);
        if (distance < 1e-12) {
            continue;
        }
        velocity = std::min(velocity, limits_.jointSpeed[i] * speed / 100.0 / distance);
        acceleration = std::min(acceleration, limits_.jointAccel[i] * accel / 100.0 / distance);
        deceleration = std::min(deceleration, limits_.jointAccel[i] * decel / 100.0 / distance);
    }
    return finite(withProfile(std::move(plan), Trapezoid(velocity, acceleration, deceleration),
                              std::move(record)));
}

MotionPlan Controller::planMove(const Pose& targetPose, MotionRecord record) const {
    MotionPlan plan;
    plan.kind = MotionKind::Move;
    plan.start = joints_;
    plan.tool = toolPose();
    plan.startPose = model_.forward(joints_, plan.tool);
    plan.targetPose = targetPose;
    const double distance =
        std::hypot(targetPose[0] - plan.startPose[0], targetPose[1] - plan.startPose[1],
                   targetPose[2] - plan.startPose[2]);
    const double angle = rotationAngle(plan.startPose, targetPose);

    const int segments =
        std::clamp(static_cast<int>(std::ceil(std::max(distance, angle) / kPathStep)),
                   kMinPathSegments, kMaxPathSegments);
    plan.path.reserve(static_cast<std::size_t>(segments) + 1);
    plan.path.push_back(joints_);
    for (int k = 1; k <= segments; ++k) {
        const double f = static_cast<double>(k) / segments;
        const auto next = model_.inverseNearest(interpolatePose(plan.startPose, targetPose, f),
                                                plan.tool, plan.path.back());
        if (!next) {
            throw CommandError(reply_code::kOutOfRange,
                               "the straight line leaves the reachable workspace");
        }
        plan.path.push_back(*next);
    }
    plan.target = plan.path.back();

    double velocity = kInfinity;
    double acceleration = kInfinity;
    double deceleration = kInfinity;
    if (distance > 1e-9) {
        velocity = speedS / distance;
        acceleration = accelS / distance;
        deceleration = decelS / distance;
    }
    if (angle > 1e-9) {
        velocity = std::min(velocity, limits_.rotationSpeed / angle);
        acceleration = std::min(acceleration, limits_.rotationAccel / angle);
        deceleration = std::min(deceleration, limits_.rotationAccel / angle);
    }
    // A straight line can demand more of a joint than it has (near the J1 axis, near a wrist
    // singularity): the whole Move slows down until the busiest joint stays within its limits.
    for (std::size_t i = 0; i < plan.target.size(); ++i) {
        double rate = 0.0;  // degrees per unit of path fraction, the steepest segment
        for (std::size_t k = 1; k < plan.path.size(); ++k) {
            rate = std::max(rate, std::abs(plan.path[k][i] - plan.path[k - 1][i]) * segments);
        }
        if (rate > 1e-9) {
            velocity = std::min(velocity, limits_.jointSpeed[i] / rate);
            acceleration = std::min(acceleration, limits_.jointAccel[i] / rate);
            deceleration = std::min(deceleration, limits_.jointAccel[i] / rate);
        }
    }
    return finite(withProfile(std::move(plan), Trapezoid(velocity, acceleration, deceleration),
                              std::move(record)));
}

void Controller::startMotion(MotionPlan plan, Clock::time_point now, std::string replyName) {
    lastMotion_ = plan.record;
    tillOn = false;
    if (plan.find) {
        findPosition.reset();
    }
    motion_ = ActiveMotion{std::move(plan),      now,          {},   std::nullopt,
                           std::move(replyName), std::nullopt, false};
}

double Controller::fractionAt(const ActiveMotion& motion, double elapsed) const {
    if (!motion.stop || elapsed < motion.stop->at) {
        return motion.plan.profile.position(elapsed);
    }
    const Stop& stop = *motion.stop;
    // A motion that stands (paused, or of zero length) stops where it is.
    const double t = stop.speed > 0.0 ? std::min(elapsed - stop.at, stop.speed / stop.decel) : 0.0;
    return std::min(stop.from + stop.speed * t - 0.5 * stop.decel * t * t, 1.0);
}

double Controller::endSeconds(const ActiveMotion& motion) const {
    if (motion.stop) {
        return motion.stop->at + motion.stop->speed / motion.stop->decel;
    }
    return motion.plan.profile.duration();
}

Joints Controller::joints(Clock::time_point now) const {
    if (!motion_) {
        return joints_;
    }
    return jointsAt(motion_->plan, fractionAt(*motion_, simulatedElapsed(*motion_, now)));
}

Clock::time_point Controller::motionEnd() const {
    if (!motion_) {
        return Clock::time_point{};
    }
    const auto wall = std::chrono::duration<double>(endSeconds(*motion_) * timeScale_);
    return motion_->start + motion_->pausedTotal +
           std::chrono::duration_cast<Clock::duration>(wall);
}

void Controller::pause(Clock::time_point now) {
    if (motion_ && !motion_->pausedAt) {
        motion_->pausedAt = now;
    }
}

void Controller::resume(Clock::time_point now) {
    if (motion_ && motion_->pausedAt) {
        motion_->pausedTotal += now - *motion_->pausedAt;
        motion_->pausedAt.reset();
    }
}

MotionPlan Controller::finite(MotionPlan plan) {
    const auto allFinite = [](const Joints& j) {
        return std::all_of(j.begin(), j.end(), [](double v) { return std::isfinite(v); });
    };
    if (!allFinite(plan.start) || !allFinite(plan.target) ||
        !std::all_of(plan.path.begin(), plan.path.end(), allFinite) ||
        !std::isfinite(plan.profile.duration())) {
        throw CommandError(reply_code::kOutOfRange, "the motion has no finite plan");
    }
    return plan;
}

void Controller::beginStop(Clock::time_point now, int code, bool byTill) {
    if (!motion_) {
        return;
    }
    if (motion_->stop) {
        if (byTill) {
            return;  // already ramping down: a Till changes nothing
        }
        // An abort reaches a motion that a Till or an earlier abort ramps down: it ends as
        // aborted, and a ramp that stands paused ends at once instead of waiting for $Continue.
        motion_->stop->code = code;
        motion_->stop->byTill = false;
        if (!paused()) {
            return;
        }
    }
    const bool wasPaused = paused();
    resume(now);  // a paused arm stands still: its stop ends at once
    const double elapsed = simulatedElapsed(*motion_, now);
    const Trapezoid& profile = motion_->plan.profile;
    Stop stop;
    stop.at = elapsed;
    stop.from = fractionAt(*motion_, elapsed);
    stop.speed = wasPaused ? 0.0 : profile.velocity(elapsed);
    stop.decel = profile.deceleration() > 0.0 ? profile.deceleration() : 1.0;
    stop.code = code;
    stop.byTill = byTill;
    motion_->stop = stop;
}

std::optional<MotionOutcome> Controller::completeMotion(Clock::time_point now) {
    if (!motion_ || paused() || now < motionEnd()) {
        return std::nullopt;
    }
    joints_ = motion_->stop ? jointsAt(motion_->plan, fractionAt(*motion_, endSeconds(*motion_)))
                            : motion_->plan.target;
    MotionOutcome outcome{motion_->replyName, motion_->stop ? motion_->stop->code : 0};
    tillOn = motion_->stop && motion_->stop->byTill;
    motion_.reset();
    return outcome;
}

std::optional<MotionOutcome> Controller::abortMotion(Clock::time_point now, int code) {
    if (!motion_) {
        return std::nullopt;
    }
    joints_ = joints(now);
    MotionOutcome outcome{motion_->replyName, code};
    motion_.reset();
    return outcome;
}

bool Controller::checkConditions(Clock::time_point now) {
    if (!motion_) {
        return false;
    }
    const MotionPlan& plan = motion_->plan;
    if (plan.find && !motion_->found && plan.find->holds(inputs)) {
        motion_->found = true;
        findPosition = tcp(joints(now));
    }
    if (plan.till && !motion_->stop && plan.till->holds(inputs)) {
        beginStop(now, 0, true);
        return true;
    }
    return false;
}

bool Controller::assignPoint(const std::string& key, const Pose& pose) {
    const bool known = points.count(key) != 0 || jointPoints.count(key) != 0;
    if (!known && points.size() + jointPoints.size() >= kMaxPoints) {
        return false;
    }
    jointPoints.erase(key);
    points[key] = pose;
    return true;
}

bool Controller::assignJointPoint(const std::string& key, const Joints& joints) {
    const bool known = points.count(key) != 0 || jointPoints.count(key) != 0;
    if (!known && points.size() + jointPoints.size() >= kMaxPoints) {
        return false;
    }
    points.erase(key);
    jointPoints[key] = joints;
    return true;
}

void Controller::restoreMotionDefaults() {
    power = 0;
    speed = kDefaultSpeed;
    accel = decel = kDefaultAccel;
    speedS = kDefaultSpeedS;
    accelS = decelS = kDefaultAccelS;
}

void Controller::setEmergencyStop(bool on) {
    emergencyStop = on;
    if (on) {
        motorsOn = false;
        systemError = kEmergencyStopError;
    }
}

bool Controller::xyLimActive() const {
    return xyLimMode == 1 &&
           std::any_of(xyLim.begin(), xyLim.end(), [](double v) { return v != 0.0; });
}

bool Controller::insideXyLim(const Pose& tcp) const {
    return tcp[0] >= xyLim[0] && tcp[0] <= xyLim[1] && tcp[1] >= xyLim[2] && tcp[1] <= xyLim[3] &&
           tcp[2] >= xyLim[4] && tcp[2] <= xyLim[5];
}

std::int64_t Controller::stat() const {
    using namespace status_bit;
    if (statOverride) {
        return *statOverride;
    }
    return bit(moving(), kStatExecuting) | bit(paused(), kStatPaused) |
           bit(systemError != 0, kStatError) | bit(teachMode, kStatTeachMode) |
           bit(emergencyStop, kStatEmergencyStop) | bit(safeguardOpen, kStatSafeguardOpen);
}

std::int64_t Controller::robotInfo() const {
    using namespace status_bit;
    if (robotInfoOverride) {
        return *robotInfoOverride;
    }
    return bit(systemError != 0, kRobotError) | bit(motorsOn, kRobotMotorsOn) |
           bit(power == 1, kRobotPowerHigh) | bit(moving(), kRobotMoving);
}

std::int64_t Controller::ctrlInfo() const {
    using namespace status_bit;
    if (ctrlInfoOverride) {
        return *ctrlInfoOverride;
    }
    return bit(emergencyStop, kCtrlEmergencyStop) | bit(safeguardOpen, kCtrlSafeguardOpen);
}

ControllerSnapshot Controller::snapshot(Clock::time_point now) const {
    ControllerSnapshot s;
    s.joints = joints(now);
    s.pose = tcp(s.joints);
    s.motorsOn = motorsOn;
    s.power = power;
    s.tool = tool;
    s.tools = tools;
    s.emergencyStop = emergencyStop;
    s.safeguardOpen = safeguardOpen;
    s.teachMode = teachMode;
    s.systemError = systemError;
    s.moving = moving();
    s.paused = paused();
    s.speed = speed;
    s.accel = accel;
    s.decel = decel;
    s.speedS = speedS;
    s.accelS = accelS;
    s.decelS = decelS;
    s.xyLimMode = xyLimMode;
    s.xyLim = xyLim;
    return s;
}

}  // namespace epson::sim::detail
