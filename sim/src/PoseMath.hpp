#pragma once

// The one conversion between controller poses and rotations, shared by the robot model and the
// controller: R = Rz(U) * Ry(V) * Rx(W), angles in degrees, results normalised as RobotModel.hpp
// describes (U, W in (-180, 180], V in [-90, 90], W = 0 at the gimbal case).

#include <Eigen/Geometry>

#include <numbers>

#include "epson_sim/RobotModel.hpp"

namespace epson::sim::detail {

// The simulator's one degree constant: poses and joints are in degrees, Eigen in radians.
inline constexpr double kDegPerRad = 180.0 / std::numbers::pi;
inline double radians(double degrees) {
    return degrees / kDegPerRad;
}
inline double degrees(double radians) {
    return radians * kDegPerRad;
}

enum class Axis { X, Y, Z };
// The rotation by this many degrees about one axis; poses and the arm's links are built of them.
Eigen::Matrix3d axisRotation(double degrees, Axis axis);

Eigen::Matrix3d rotationOf(const Pose& pose);
Pose poseOf(const Eigen::Vector3d& position, const Eigen::Matrix3d& rotation);
// To (-180, 180]; -0 becomes +0 so that printed poses do not show "-0".
double normalizeAngle(double degrees);
// The pose between a and b at fraction f: straight-line position, shortest-arc orientation.
Pose interpolatePose(const Pose& a, const Pose& b, double f);
// Angle in degrees of the rotation that takes a's orientation to b's.
double rotationAngle(const Pose& a, const Pose& b);

}  // namespace epson::sim::detail
