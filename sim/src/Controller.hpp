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

#include "Condition.hpp"
#include "IoPorts.hpp"
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
    ConditionPtr till;  // the motion stops (decelerating) when it holds
    ConditionPtr find;  // the TCP is recorded in FindPos when it first holds
};

// How a motion ended: the command name its reply carries and the error code (0: completed,
// or stopped by Till).
struct MotionOutcome {
    std::string replyName;
    int code = 0;
};

// Points stored at once (numbered and labelled, poses and joint angles together), as a
// controller's point memory holds P0..P999.
inline constexpr std::size_t kMaxPoints = 1000;

// Defaults that Motor On and Reset restore.
inline constexpr int kDefaultSpeed = 10;
inline constexpr int kDefaultAccel = 10;
inline constexpr double kDefaultSpeedS = 50.0;
inline constexpr double kDefaultAccelS = 200.0;

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
    // A stop (an abort or a Till) is ramping the running motion down.
    bool stopping() const { return motion_ && motion_->stop.has_value(); }
    MotionPlan planGo(const Joints& target, MotionRecord record) const;
    // Throws CommandError when the straight line leaves the reachable workspace.
    MotionPlan planMove(const Pose& targetPose, MotionRecord record) const;
    // replyName: the command whose reply the motion's end sends ("Execute" as spelt).
    void startMotion(MotionPlan plan, Clock::time_point now, std::string replyName);
    // When the running motion ends, if it is not paused before then.
    Clock::time_point motionEnd() const;
    void pause(Clock::time_point now);
    void resume(Clock::time_point now);
    // Decelerates the running motion to a stop on its profile's deceleration (at once when it
    // is paused); it then ends with the given code. On a motion already ramping down (after an
    // abort or a Till) the ramp goes on, or ends at once where it stands paused, and the
    // motion ends with this code.
    void stopMotion(Clock::time_point now, int code) { beginStop(now, code, false); }
    // The outcome once the running motion has ended by now (the arm then rests where it
    // ended); empty while it runs or is paused.
    std::optional<MotionOutcome> completeMotion(Clock::time_point now);
    // The motion ends at once where it is (emergency stop, shutdown, injected failure).
    std::optional<MotionOutcome> abortMotion(Clock::time_point now, int code);
    // Evaluates the running motion's Till and Find against the inputs: records FindPos,
    // starts the Till stop. True when the motion's end moved (the caller re-arms its timer).
    bool checkConditions(Clock::time_point now);
    const std::optional<MotionRecord>& lastMotion() const { return lastMotion_; }

    // ---- Emergency stop and errors ----
    void setEmergencyStop(bool on);
    bool xyLimActive() const;
    bool insideXyLim(const Pose& tcp) const;

    // ---- Status words (the overrides of a test replace the computed value) ----
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
    int speed = kDefaultSpeed;
    int accel = kDefaultAccel;
    int decel = kDefaultAccel;
    double speedS = kDefaultSpeedS;
    double accelS = kDefaultAccelS;
    double decelS = kDefaultAccelS;
    int xyLimMode = 0;
    std::array<double, 6> xyLim{};
    std::map<std::string, Pose> points;         // keys upper-case
    std::map<std::string, Joints> jointPoints;  // points given as joint angles (JA)
    Inputs inputs;
    IoPorts io;                        // outputs, and the inputs tied to them
    ConditionPtr tillCondition;        // set by the Till statement, used by a bare "Till"
    ConditionPtr findCondition;        // set by the Find statement, used by a bare "Find"
    std::optional<Pose> findPosition;  // FindPos of the last motion with Find
    bool tillOn = false;               // TillOn: the last motion was stopped by its Till
    std::optional<std::int64_t> statOverride;
    std::optional<std::int64_t> robotInfoOverride;
    std::optional<std::int64_t> ctrlInfoOverride;

    // Stores a point under its key (sim_text's pointKey) as a pose or as joint angles, each
    // replacing the other. False, with nothing changed, when the key is new and kMaxPoints
    // points are stored already.
    bool assignPoint(const std::string& key, const Pose& pose);
    bool assignJointPoint(const std::string& key, const Joints& joints);

    // Power Low and the default Speed, Accel, SpeedS and AccelS: what Motor On and Reset do.
    void restoreMotionDefaults();

  private:
    // A stop ramp: from fraction `from` at simulated time `at`, at `speed` fractions per
    // second, decelerating at `decel`.
    struct Stop {
        double at = 0.0;
        double from = 0.0;
        double speed = 0.0;
        double decel = 1.0;
        int code = 0;
        bool byTill = false;
    };
    struct ActiveMotion {
        MotionPlan plan;
        Clock::time_point start;
        Clock::duration pausedTotal{};
        std::optional<Clock::time_point> pausedAt;
        std::string replyName;
        std::optional<Stop> stop;
        bool found = false;
    };

    void beginStop(Clock::time_point now, int code, bool byTill);
    // Throws CommandError (15) unless every joint of the plan is a finite angle.
    static MotionPlan finite(MotionPlan plan);
    double simulatedElapsed(const ActiveMotion& motion, Clock::time_point now) const;
    double fractionAt(const ActiveMotion& motion, double elapsed) const;
    double endSeconds(const ActiveMotion& motion) const;
    Joints jointsAt(const MotionPlan& plan, double fraction) const;

    RobotModel model_;
    MotionLimits limits_;
    double timeScale_;
    Joints joints_;
    std::optional<ActiveMotion> motion_;
    std::optional<MotionRecord> lastMotion_;
};

}  // namespace epson::sim::detail
