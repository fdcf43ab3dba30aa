#include "PoseMath.hpp"

#include <cmath>

namespace epson::sim::detail {
namespace {

// cos(V) below this is the gimbal case of the U, V, W convention.
constexpr double kGimbal = 1e-9;

// A half turn reads 180 even when round-off lands it just above -180.
double poseAngle(double radians) {
    const double a = normalizeAngle(degrees(radians));
    return a < -180.0 + 1e-9 ? 180.0 : a;
}

}  // namespace

// Written out rather than through AngleAxis: forward kinematics runs in tight loops and
// unoptimised builds of Eigen's generic code are slow.
Eigen::Matrix3d axisRotation(double angle, Axis axis) {
    const double c = std::cos(radians(angle));
    const double s = std::sin(radians(angle));
    Eigen::Matrix3d m;
    if (axis == Axis::X) {
        m << 1.0, 0.0, 0.0, 0.0, c, -s, 0.0, s, c;
    } else if (axis == Axis::Y) {
        m << c, 0.0, s, 0.0, 1.0, 0.0, -s, 0.0, c;
    } else {
        m << c, -s, 0.0, s, c, 0.0, 0.0, 0.0, 1.0;
    }
    return m;
}

double normalizeAngle(double degrees) {
    double r = std::fmod(degrees, 360.0);
    if (r <= -180.0) {
        r += 360.0;
    } else if (r > 180.0) {
        r -= 360.0;
    }
    return r + 0.0;
}

Eigen::Matrix3d rotationOf(const Pose& p) {
    return axisRotation(p[3], Axis::Z) * axisRotation(p[4], Axis::Y) * axisRotation(p[5], Axis::X);
}

Pose poseOf(const Eigen::Vector3d& position, const Eigen::Matrix3d& r) {
    const double cosV = std::hypot(r(0, 0), r(1, 0));
    double u = 0.0;
    double v = 0.0;
    double w = 0.0;
    if (cosV > kGimbal) {
        u = std::atan2(r(1, 0), r(0, 0));
        v = std::atan2(-r(2, 0), cosV);
        w = std::atan2(r(2, 1), r(2, 2));
    } else {
        // Gimbal: column 1 is (-sin(U -+ W), cos(U -+ W), 0) for V = +-90; report W = 0.
        v = r(2, 0) < 0.0 ? std::numbers::pi / 2.0 : -std::numbers::pi / 2.0;
        u = std::atan2(-r(0, 1), r(1, 1));
    }
    return {position.x() + 0.0, position.y() + 0.0, position.z() + 0.0,
            poseAngle(u),       poseAngle(v),       poseAngle(w)};
}

Pose interpolatePose(const Pose& a, const Pose& b, double f) {
    const Eigen::Vector3d pa(a[0], a[1], a[2]);
    const Eigen::Vector3d pb(b[0], b[1], b[2]);
    const Eigen::Quaterniond qa(rotationOf(a));
    const Eigen::Quaterniond qb(rotationOf(b));
    return poseOf(pa + (pb - pa) * f, qa.slerp(f, qb).toRotationMatrix());
}

double rotationAngle(const Pose& a, const Pose& b) {
    const Eigen::Quaterniond qa(rotationOf(a));
    const Eigen::Quaterniond qb(rotationOf(b));
    return degrees(qa.angularDistance(qb));
}

}  // namespace epson::sim::detail
