// Robot state and inverse kinematics, both read from the controller.

#include <cmath>
#include <stdexcept>
#include <thread>

#include "CellCommandLinkImpl.hpp"
#include "results.hpp"
#include "spel_text.hpp"

namespace epson {

namespace {

constexpr int kIkPrecision = 17;

void requireFinite(const std::vector<double>& values, const char* message) {
    for (const double value : values) {
        if (!std::isfinite(value)) {
            throw std::invalid_argument(message);
        }
    }
}

/// Polls rather than calling try_lock_for: that blocks in pthread_mutex_clocklock, which the
/// thread sanitizer of our toolchain does not intercept, so every such lock would be reported.
/// A short poll on the steady clock bounds the wait just as well.
bool tryLockFor(std::unique_lock<std::timed_mutex>& lock, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!lock.try_lock()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

}  // namespace

std::vector<double> CellCommandLink::Impl::getState() {
    if (motionInProgress_) {
        throw std::runtime_error(
            "getState() skipped: a motion command is in progress and holds the connection until "
            "the move completes");
    }
    std::unique_lock lock(commandMutex_, std::defer_lock);
    if (!tryLockFor(lock, kStateLockTimeout)) {
        throw std::runtime_error("getState() timed out waiting for the connection");
    }
    return results::parseRobotState(executeAndGetResult_(
        "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),CX(Here),CY(Here),CZ(Here),CU(Here),"
        "CV(Here),CW(Here)"));
}

std::vector<double> CellCommandLink::Impl::inverseKinematics(
    const std::vector<double>& cartesian_pose, bool least_joint_motion,
    const std::optional<std::vector<double>>& reference_joint_positions) {
    // Checked before the lock so that a rejected call never waits behind a motion.
    if (cartesian_pose.size() != 6) {
        throw std::invalid_argument(
            "cartesian_pose must contain exactly 6 values [X, Y, Z, U, V, W]");
    }
    requireFinite(cartesian_pose, "cartesian_pose must contain only finite values");
    if (reference_joint_positions) {
        if (!least_joint_motion) {
            throw std::invalid_argument("reference_joint_positions requires least_joint_motion");
        }
        if (reference_joint_positions->size() != 6) {
            throw std::invalid_argument("reference_joint_positions must contain exactly 6 values");
        }
        requireFinite(*reference_joint_positions,
                      "reference_joint_positions must contain only finite values");
    }
    std::lock_guard lock(commandMutex_);

    std::string target = "XY(" + spel::joinGeneral(cartesian_pose, kIkPrecision) + ")";
    if (least_joint_motion) {
        const std::string reference =
            reference_joint_positions
                ? "AglToPls(" + spel::joinGeneral(*reference_joint_positions, kIkPrecision) + ")"
                : "Here";
        target = "LJM(" + target + "," + reference + ")";
    }
    std::vector<double> joints;
    for (int joint = 1; joint <= 6; ++joint) {
        const std::string statement = "Print PAgl(" + target + "," + std::to_string(joint) + ")";
        std::string text;
        try {
            text = executeAndGetResult_(statement);
        } catch (const std::exception& error) {
            rethrowWithContext(error, "Epson controller IK query failed for joint " +
                                          std::to_string(joint) + " (" + statement +
                                          "): " + error.what());
        }
        joints.push_back(results::parseIkJoint(joint, text));
    }
    return joints;
}

std::vector<double> CellCommandLink::getState() {
    return impl_->getState();
}

std::vector<double> CellCommandLink::inverseKinematics(
    const std::vector<double>& cartesian_pose, bool least_joint_motion,
    const std::optional<std::vector<double>>& reference_joint_positions) {
    return impl_->inverseKinematics(cartesian_pose, least_joint_motion, reference_joint_positions);
}

}  // namespace epson
