#pragma once

// The simulated controller's state and motion model, without any I/O. The server holds it
// under one mutex; every method here assumes the caller holds that mutex.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "MotionProfile.hpp"
#include "epson_sim/RobotModel.hpp"
#include "epson_sim/Simulator.hpp"

namespace epson::sim::detail {

using Clock = std::chrono::steady_clock;

// A refused command: its Remote Ethernet error code and, for the log of a test, why.
class CommandError : public std::runtime_error {
  public:
    CommandError(int code, const std::string& reason) : std::runtime_error(reason), code_(code) {}
    int code() const { return code_; }

  private:
    int code_;
};

struct MotionPlan {
    MotionKind kind = MotionKind::Go;
    Joints start{};
    Joints target{};
    Pose tool{};
    Pose startPose{};   // Move: TCP at the start
    Pose targetPose{};  // Move: TCP at the end
    // Move: joints at evenly spaced points of the straight path, front = start, back = target.
    // They seed the inverse kinematics so the arm stays on one branch along the line.
    std::vector<Joints> path;
    Trapezoid profile;
    MotionRecord record;
};

class Controller {
  public:
    Controller(const MotionLimits& limits, double timeScale);

    const RobotModel& model() const { return model_; }
    const MotionLimits& limits() const { return limits_; }

    // ---- Arm ----
    Joints joints(Clock::time_point now) const;
    // The selected Tool's offset; a selected slot that has been cleared acts as the flange.
    Pose toolPose() const;
    Pose tcp(const Joints& joints) const { return model_.forward(joints, toolPose()); }
    void setJoints(const Joints& joints) { joints_ = joints; }

    // ---- Motion ----
    bool moving() const { return motion_.has_value(); }
    bool paused() const { return motion_ && motion_->pausedAt.has_value(); }
    MotionPlan planGo(const Joints& target, MotionRecord record) const;
    // Throws CommandError when the straight line leaves the reachable workspace.
    MotionPlan planMove(const Pose& targetPose, MotionRecord record) const;
    void startMotion(MotionPlan plan, Clock::time_point now);
    // When the running motion ends, if it is not paused before then.
    Clock::time_point motionEnd() const;
    void pause(Clock::time_point now);
    void resume(Clock::time_point now);
    // The motion reached its target.
    void finishMotion();
    // The motion stops where it is (emergency stop, shutdown).
    void abortMotion(Clock::time_point now);
    const std::optional<MotionRecord>& lastMotion() const { return lastMotion_; }

    // ---- Emergency stop and errors ----
    void setEmergencyStop(bool on);
    bool xyLimActive() const;
    bool insideXyLim(const Pose& tcp) const;

    // ---- Status words ----
    std::int64_t stat() const;
    std::int64_t robotInfo() const;
    std::int64_t ctrlInfo() const;

    ControllerSnapshot snapshot(Clock::time_point now) const;

    // Settings and flags, read and written by the statement interpreter.
    bool motorsOn = false;
    int power = 0;
    int tool = 0;
    std::array<std::optional<Pose>, 16> tools{};
    bool emergencyStop = false;
    bool safeguardOpen = false;
    bool teachMode = false;
    int systemError = 0;
    int speed = 10;
    int accel = 10;
    int decel = 10;
    double speedS = 50.0;
    double accelS = 200.0;
    double decelS = 200.0;
    int xyLimMode = 0;
    std::array<double, 6> xyLim{};
    std::map<std::string, Pose> points;  // keys upper-case

  private:
    struct ActiveMotion {
        MotionPlan plan;
        Clock::time_point start;
        Clock::duration pausedTotal{};
        std::optional<Clock::time_point> pausedAt;
    };

    double simulatedElapsed(const ActiveMotion& motion, Clock::time_point now) const;
    Joints jointsAt(const MotionPlan& plan, double fraction) const;

    RobotModel model_;
    MotionLimits limits_;
    double timeScale_;
    Joints joints_;
    std::optional<ActiveMotion> motion_;
    std::optional<MotionRecord> lastMotion_;
};

// Rotation helpers on the controller convention R = Rz(U) * Ry(V) * Rx(W).
// The pose between a and b at fraction f: straight-line position, shortest-arc orientation.
Pose interpolatePose(const Pose& a, const Pose& b, double f);
// Angle in degrees of the rotation that takes a's orientation to b's.
double rotationAngle(const Pose& a, const Pose& b);

}  // namespace epson::sim::detail
