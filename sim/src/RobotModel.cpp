#include "epson_sim/RobotModel.hpp"

#include <Eigen/Geometry>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "PoseMath.hpp"

namespace epson::sim {
namespace {

using detail::Axis;
using detail::axisRotation;
using detail::normalizeAngle;
using detail::rotationOf;
using Eigen::Isometry3d;
using Eigen::Matrix3d;
using Eigen::Vector3d;

// J3 reaches past full stretch (at about 83.2) into the elbow-down range; J4 and J6 turn more
// than a full turn, so an angle can have two in-limit equivalents.
constexpr Joints kLowerLimits{-170.0, -160.0, -51.0, -200.0, -135.0, -360.0};
constexpr Joints kUpperLimits{170.0, 65.0, 225.0, 200.0, 135.0, 360.0};

// Joint values this close beyond a limit count as on it (round-off of the closed form).
constexpr double kLimitTolerance = 1e-9;
// Below these the free angle of a singularity is taken from the hint: the wrist centre's
// distance from the J1 axis (mm) and sin(J5).
constexpr double kShoulderSingular = 1e-9;
constexpr double kWristSingular = 1e-10;
// The elbow law of cosines may overshoot +-1 by round-off at full stretch.
constexpr double kReachTolerance = 1e-12;
// Solutions closer than this in every joint are the same one (e.g. both elbow branches at
// full stretch).
constexpr double kSameSolution = 1e-9;

double rad(double deg) {
    return detail::radians(deg);
}
double deg(double rad) {
    return detail::degrees(rad);
}
Matrix3d rotX(double degrees) {
    return axisRotation(degrees, Axis::X);
}
Matrix3d rotY(double degrees) {
    return axisRotation(degrees, Axis::Y);
}
Matrix3d rotZ(double degrees) {
    return axisRotation(degrees, Axis::Z);
}

Isometry3d toTransform(const Pose& p) {
    Isometry3d t = Isometry3d::Identity();
    t.linear() = rotationOf(p);
    t.translation() = Vector3d(p[0], p[1], p[2]);
    return t;
}

Pose toPose(const Isometry3d& t) {
    return detail::poseOf(t.translation(), t.linear());
}

// Flange axes relative to the frame that J6 turns: z along the flange normal (that frame's
// x), x along that frame's z.
Matrix3d flangeAxes() {
    Matrix3d m;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            m(r, c) =
                geometry::kFlangeAxes[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)];
        }
    }
    return m;
}

Axis axisOf(char axis) {
    return axis == 'x' ? Axis::X : axis == 'y' ? Axis::Y : Axis::Z;
}

// Walks the chain link by link: each offset is taken along the axes reached so far.
Isometry3d flangeTransform(const Joints& j) {
    Matrix3d r = Matrix3d::Identity();
    Vector3d p = Vector3d::Zero();
    for (std::size_t i = 0; i < geometry::kLinks.size(); ++i) {
        const geometry::Link& link = geometry::kLinks[i];
        r = r * axisRotation(link.sign * j[i], axisOf(link.axis));
        p += r * Vector3d(link.offset[0], link.offset[1], link.offset[2]);
    }
    Isometry3d t = Isometry3d::Identity();
    t.linear() = r * flangeAxes();
    t.translation() = p;
    return t;
}

bool insideBase(const Vector3d& p) {
    return std::hypot(p.x(), p.y()) < geometry::kBaseRadius && p.z() < geometry::kBaseHeight;
}

// Largest absolute difference first, then the sum.
std::pair<double, double> jointDistance(const Joints& a, const Joints& b) {
    double largest = 0.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double d = std::abs(a[i] - b[i]);
        largest = std::max(largest, d);
        sum += d;
    }
    return {largest, sum};
}

}  // namespace

RobotModel::RobotModel() : lower_(kLowerLimits), upper_(kUpperLimits) {}

Pose RobotModel::forward(const Joints& joints) const {
    return toPose(flangeTransform(joints));
}

Pose RobotModel::forward(const Joints& joints, const Pose& tool) const {
    return toPose(flangeTransform(joints) * toTransform(tool));
}

bool RobotModel::withinLimits(const Joints& joints) const {
    for (std::size_t i = 0; i < joints.size(); ++i) {
        if (!(joints[i] >= lower_[i] - kLimitTolerance &&
              joints[i] <= upper_[i] + kLimitTolerance)) {
            return false;
        }
    }
    return true;
}

Pose RobotModel::compose(const Pose& a, const Pose& b) {
    return toPose(toTransform(a) * toTransform(b));
}

Pose RobotModel::inverted(const Pose& p) {
    return toPose(toTransform(p).inverse());
}

Joints RobotModel::home() const {
    return {0.0, 0.0, 0.0, 0.0, -90.0, 0.0};
}

std::vector<Joints> RobotModel::inverse(const Pose& target, const Pose& tool) const {
    return solve(target, tool, 0.0, 0.0);
}

std::optional<Joints> RobotModel::inverseNearest(const Pose& target, const Pose& tool,
                                                 const Joints& reference,
                                                 LjmOrientation orientation) const {
    const std::vector<Joints> solutions = solve(target, tool, reference[0], reference[3]);
    if (solutions.empty()) {
        return std::nullopt;
    }
    const auto nearer = [&](const Joints& a, const Joints& b) {
        return jointDistance(a, reference) < jointDistance(b, reference);
    };
    const Joints best = *std::min_element(solutions.begin(), solutions.end(), nearer);
    if (orientation == LjmOrientation::Default) {
        return best;
    }
    // The flag picks the wrist among the alternatives of the arm posture chosen above.
    const std::size_t wrist = orientation == LjmOrientation::LeastJ4 ? 3 : 5;
    std::optional<Joints> chosen;
    for (const Joints& j : solutions) {
        const bool sameArm = std::abs(j[0] - best[0]) < kSameSolution &&
                             std::abs(j[1] - best[1]) < kSameSolution &&
                             std::abs(j[2] - best[2]) < kSameSolution;
        if (!sameArm) {
            continue;
        }
        const auto key = [&](const Joints& k) {
            return std::pair(std::abs(k[wrist] - reference[wrist]), jointDistance(k, reference));
        };
        if (!chosen || key(j) < key(*chosen)) {
            chosen = j;
        }
    }
    return chosen;
}

std::optional<Joints> RobotModel::inverseKeeping(const Pose& target, const Pose& tool,
                                                 const Configuration& wanted,
                                                 const Joints& reference) const {
    std::optional<Joints> best;
    for (const Joints& j : solve(target, tool, reference[0], reference[3])) {
        if (configuration(j) == wanted &&
            (!best || jointDistance(j, reference) < jointDistance(*best, reference))) {
            best = j;
        }
    }
    return best;
}

Configuration RobotModel::configuration(const Joints& j) const {
    const Isometry3d flange = flangeTransform(j);
    const Vector3d wrist = flange.translation() - geometry::kFlangeOffset * flange.linear().col(2);
    const double forward = wrist.x() * std::cos(rad(j[0])) + wrist.y() * std::sin(rad(j[0]));
    const double skew = deg(std::atan2(geometry::kElbowOffset, geometry::kForearm));
    return Configuration{forward<0.0, std::abs(normalizeAngle(j[2] + skew))> 90.0, j[4] < 0.0};
}

std::vector<Joints> RobotModel::solve(const Pose& target, const Pose& tool, double j1Hint,
                                      double j4Hint) const {
    using namespace geometry;
    const Isometry3d tcp = toTransform(target);
    const Isometry3d flange = tcp * toTransform(tool).inverse();
    const Matrix3d& flangeRotation = flange.linear();
    const Vector3d wrist = flange.translation() - kFlangeOffset * flangeRotation.col(2);
    if (insideBase(tcp.translation()) || insideBase(flange.translation()) || insideBase(wrist)) {
        return {};
    }

    // The wrist centre fixes J1..J3; the arm plane contains the J1 axis.
    const double radial = std::hypot(wrist.x(), wrist.y());
    const double j1Front =
        radial < kShoulderSingular ? j1Hint : deg(std::atan2(wrist.y(), wrist.x()));
    const double forearmLength = std::hypot(kForearm, kElbowOffset);
    const double forearmSkew = std::atan2(kElbowOffset, kForearm);

    std::vector<Joints> raw;
    for (const double j1 : {j1Front, j1Front + 180.0}) {
        // Wrist centre relative to J2, in the arm plane: u forward, v up.
        const double u =
            wrist.x() * std::cos(rad(j1)) + wrist.y() * std::sin(rad(j1)) - kShoulderOffset;
        const double v = wrist.z() - kBaseHeight;
        double s = (u * u + v * v - forearmLength * forearmLength - kUpperArm * kUpperArm) /
                   (2.0 * kUpperArm * forearmLength);
        if (std::abs(s) > 1.0 + kReachTolerance) {
            continue;
        }
        s = std::clamp(s, -1.0, 1.0);
        // Forearm angle above the upper arm's normal: elbow up, then elbow down.
        for (const double elbow : {std::asin(s), std::numbers::pi - std::asin(s)}) {
            const double j3 = deg(elbow - forearmSkew);
            const double qx = forearmLength * std::cos(elbow);
            const double qz = kUpperArm + forearmLength * std::sin(elbow);
            // Angles in the arm plane run from forward towards up; J2 adds to the forearm's.
            const double j2 = deg(std::atan2(v, u) - std::atan2(qz, qx));

            // The wrist makes up the rest: Rx(J4) * Ry(-J5) * Rx(J6).
            const Matrix3d arm = rotZ(j1) * rotY(-(j2 + j3));
            const Matrix3d m = arm.transpose() * flangeRotation * flangeAxes().transpose();
            const double sin5 = std::hypot(m(1, 0), m(2, 0));
            const double j5 = deg(std::atan2(sin5, m(0, 0)));
            const bool singular = sin5 < kWristSingular;
            const double j4NoFlip = singular ? j4Hint : deg(std::atan2(-m(1, 0), m(2, 0)));
            for (const bool flip : {false, true}) {
                if (flip && singular) {
                    break;
                }
                const double j4 = flip ? j4NoFlip + 180.0 : j4NoFlip;
                const double j5Signed = flip ? -j5 : j5;
                // J6 from the residual so that it absorbs any round-off in J4 and J5.
                const Matrix3d rest = rotY(j5Signed) * rotX(-j4) * m;
                const double j6 = deg(std::atan2(rest(2, 1), rest(1, 1)));
                raw.push_back({j1, j2, j3, j4, j5Signed, j6});
            }
        }
    }

    // Every combination of the in-limit equivalents (angle + k * 360) of each joint.
    std::vector<Joints> solutions;
    for (const Joints& candidate : raw) {
        std::array<std::vector<double>, 6> options;
        bool feasible = true;
        for (std::size_t i = 0; i < 6; ++i) {
            const double base = normalizeAngle(candidate[i]);
            for (const double turn : {-360.0, 0.0, 360.0}) {
                const double value = base + turn;
                if (value >= lower_[i] - kLimitTolerance && value <= upper_[i] + kLimitTolerance) {
                    options[i].push_back(std::clamp(value, lower_[i], upper_[i]));
                }
            }
            feasible = feasible && !options[i].empty();
        }
        if (!feasible) {
            continue;
        }
        std::array<std::size_t, 6> index{};
        while (true) {
            Joints joints{};
            for (std::size_t i = 0; i < 6; ++i) {
                joints[i] = options[i][index[i]];
            }
            const bool duplicate =
                std::any_of(solutions.begin(), solutions.end(), [&](const Joints& other) {
                    return jointDistance(joints, other).first < kSameSolution;
                });
            if (!duplicate) {
                solutions.push_back(joints);
            }
            std::size_t i = 0;
            while (i < 6 && ++index[i] == options[i].size()) {
                index[i] = 0;
                ++i;
            }
            if (i == 6) {
                break;
            }
        }
    }
    return solutions;
}

}  // namespace epson::sim
