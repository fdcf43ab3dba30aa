#pragma once

// The one conversion between controller poses and rotations, shared by the robot model and the
// controller: R = Rz(U) * Ry(V) * Rx(W), angles in degrees, results normalised as RobotModel.hpp
// describes (U, W in (-180, 180], V in [-90, 90], W = 0 at the gimbal case).

#include <Eigen/Geometry>

#include "epson_sim/RobotModel.hpp"

namespace epson::sim::detail {

Eigen::Matrix3d rotationOf(const Pose& pose);
Pose poseOf(const Eigen::Vector3d& position, const Eigen::Matrix3d& rotation);
// To (-180, 180]; -0 becomes +0 so that printed poses do not show "-0".
double normalizeAngle(double degrees);

}  // namespace epson::sim::detail
