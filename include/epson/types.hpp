#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

namespace epson {

/// Servo power mode of the controller; independent of whether the motors are on.
enum class EpsonPowerMode : int {
    LOW = 0,   ///< Low speed and servo stiffness ("Power Low").
    HIGH = 1,  ///< Full configured speed and servo stiffness ("Power High").
};

/// Point-to-point motion limits, in the controller's percentage units.
struct PtpMotionLimits {
    std::int32_t speed_percent = 100;  ///< Always 100: SPEL+ PTP speed is a fixed 1..100 scale.
    std::int32_t acceleration_percent = 0;  ///< AccelMax(1).
    std::int32_t deceleration_percent = 0;  ///< AccelMax(2).
};

/// Raw controller status values, keyed by "control_device", "ctrl_info", "emergency_stopped",
/// "robot_info", "safeguard_open", "stat", "system_error" and "teach_mode".
using ControllerStatus = std::map<std::string, std::int64_t>;

/// The controller's Remote Ethernet status ("$GetStatus"): its eleven flags and its error code.
struct RemoteStatus {
    bool test = false;           ///< test mode
    bool teach = false;          ///< teach mode
    bool autoMode = false;       ///< auto mode: remote commands are accepted
    bool warning = false;        ///< a warning is active
    bool seriousError = false;   ///< a serious error: only a restart clears it
    bool safeguard = false;      ///< the safeguard is open
    bool emergencyStop = false;  ///< an emergency stop is active
    bool error = false;          ///< an error is active
    bool paused = false;         ///< execution is paused
    bool running = false;        ///< a task or an $Execute runs
    bool ready = false;          ///< ready to start
    std::int32_t code = 0;       ///< the error or warning code; 0 when none
};

/// One complete telemetry sample in the controller's native units.
struct TelemetrySample {
    std::array<double, 6> joints{};   ///< J1..J6 in degrees.
    std::array<double, 6> tcpPose{};  ///< [X, Y, Z] in millimetres, [U, V, W] in degrees.
};

}  // namespace epson
