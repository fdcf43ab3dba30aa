#include "epson_sim/RobotModel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace epson::sim {
namespace {

constexpr Pose kFlange{0, 0, 0, 0, 0, 0};
constexpr double kPositionTolerance = 1e-6;  // mm
// Rotation-matrix entries; 1e-6 degree is 1.75e-8 rad.
constexpr double kRotationTolerance = 1.7e-8;

std::string describe(const std::array<double, 6>& v) {
    std::ostringstream out;
    out.precision(12);
    out << "[" << v[0] << ", " << v[1] << ", " << v[2] << ", " << v[3] << ", " << v[4] << ", "
        << v[5] << "]";
    return out.str();
}

// Independent oracle for the orientation convention: R = Rz(U) * Ry(V) * Rx(W), written out.
using Matrix = std::array<std::array<double, 3>, 3>;
Matrix rotationOf(const Pose& p) {
    const double d = std::numbers::pi / 180.0;
    const double cu = std::cos(p[3] * d), su = std::sin(p[3] * d);
    const double cv = std::cos(p[4] * d), sv = std::sin(p[4] * d);
    const double cw = std::cos(p[5] * d), sw = std::sin(p[5] * d);
    return {{{cu * cv, cu * sv * sw - su * cw, cu * sv * cw + su * sw},
             {su * cv, su * sv * sw + cu * cw, su * sv * cw - cu * sw},
             {-sv, cv * sw, cv * cw}}};
}

// Same frame: positions within 1e-6 mm, orientations within about 1e-6 degree, whatever the
// Euler angles chosen to express them.
::testing::AssertionResult samePose(const Pose& expected, const Pose& actual) {
    const double position =
        std::hypot(expected[0] - actual[0], expected[1] - actual[1], expected[2] - actual[2]);
    const Matrix a = rotationOf(expected);
    const Matrix b = rotationOf(actual);
    double rotation = 0.0;
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t c = 0; c < 3; ++c) {
            rotation = std::max(rotation, std::abs(a[r][c] - b[r][c]));
        }
    }
    if (position <= kPositionTolerance && rotation <= kRotationTolerance) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "expected " << describe(expected) << ", got " << describe(actual)
           << " (position off by " << position << " mm, rotation entry off by " << rotation << ")";
}

double angleDifference(double a, double b) {
    const double d = std::fmod(std::abs(a - b), 360.0);
    return std::min(d, 360.0 - d);
}

bool sameJoints(const Joints& a, const Joints& b, double tolerance = 1e-6) {
    for (std::size_t i = 0; i < 6; ++i) {
        if (std::abs(a[i] - b[i]) > tolerance) {
            return false;
        }
    }
    return true;
}

bool sameJointsModulo360(const Joints& a, const Joints& b, double tolerance = 1e-6) {
    for (std::size_t i = 0; i < 6; ++i) {
        if (angleDifference(a[i], b[i]) > tolerance) {
            return false;
        }
    }
    return true;
}

bool contains(const std::vector<Joints>& solutions, const Joints& wanted) {
    return std::any_of(solutions.begin(), solutions.end(),
                       [&](const Joints& s) { return sameJoints(s, wanted); });
}

bool containsModulo360(const std::vector<Joints>& solutions, const Joints& wanted) {
    return std::any_of(solutions.begin(), solutions.end(),
                       [&](const Joints& s) { return sameJointsModulo360(s, wanted); });
}

// inverse() lists each joint vector once.
::testing::AssertionResult pairwiseDistinct(const std::vector<Joints>& solutions) {
    for (std::size_t i = 0; i < solutions.size(); ++i) {
        for (std::size_t k = i + 1; k < solutions.size(); ++k) {
            if (sameJoints(solutions[i], solutions[k])) {
                return ::testing::AssertionFailure()
                       << describe(solutions[i]) << " is listed twice";
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// Position of a point given in the frame of pose p.
std::array<double, 3> pointIn(const Pose& p, double x, double y, double z) {
    const Pose q = RobotModel::compose(p, {x, y, z, 0, 0, 0});
    return {q[0], q[1], q[2]};
}

// Arm configuration: shoulder behind the J1 axis, elbow beyond full stretch, wrist flipped
// (J5 < 0).
using Configuration = std::tuple<bool, bool, bool>;
// J3 with the forearm in line with the upper arm.
const double kFullStretchJ3 =
    90.0 - std::atan2(geometry::kElbowOffset, geometry::kForearm) * 180.0 / std::numbers::pi;
Configuration configurationOf(const RobotModel& model, const Joints& j) {
    const auto wrist = pointIn(model.forward(j), 0, 0, -geometry::kFlangeOffset);
    const double j1 = j[0] * std::numbers::pi / 180.0;
    const bool back = wrist[0] * std::cos(j1) + wrist[1] * std::sin(j1) < 0.0;
    return {back, j[2] > kFullStretchJ3, j[4] < 0.0};
}

// The flange pose of the posture, shifted sideways so that the wrist centre lies exactly on
// the J1 axis (the shoulder singularity).
Pose withWristOnJ1Axis(const RobotModel& model, const Joints& joints) {
    Pose pose = model.forward(joints);
    const auto wrist = pointIn(pose, 0, 0, -geometry::kFlangeOffset);
    pose[0] -= wrist[0];
    pose[1] -= wrist[1];
    return pose;
}

// ---------------------------------------------------------------------------------------------
// Orientation convention and pose algebra

TEST(PoseConvention, AxisImagesPinRotationOrderAndSigns) {
    // The frame's unit axes seen from the parent, worked out by hand for R = Rz(U)Ry(V)Rx(W).
    struct Case {
        std::array<double, 3> uvw;
        std::array<double, 3> x, y, z;
    };
    const Case cases[] = {
        {{90, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, 0, 1}},
        {{0, 90, 0}, {0, 0, -1}, {0, 1, 0}, {1, 0, 0}},
        {{0, 0, 90}, {1, 0, 0}, {0, 0, 1}, {0, -1, 0}},
        {{0, 30, 0}, {std::sqrt(3.0) / 2, 0, -0.5}, {0, 1, 0}, {0.5, 0, std::sqrt(3.0) / 2}},
        {{-90, 0, 0}, {0, -1, 0}, {1, 0, 0}, {0, 0, 1}},
        // Pairs fix the order: the other products give different axes.
        {{90, 0, 90}, {0, 1, 0}, {0, 0, 1}, {1, 0, 0}},
        {{90, 90, 0}, {0, 0, -1}, {-1, 0, 0}, {0, 1, 0}},
        {{0, 90, 90}, {0, 0, -1}, {1, 0, 0}, {0, -1, 0}},
    };
    const std::array<double, 3> origin{10, -20, 30};
    for (const Case& c : cases) {
        SCOPED_TRACE(describe({0, 0, 0, c.uvw[0], c.uvw[1], c.uvw[2]}));
        const Pose frame{origin[0], origin[1], origin[2], c.uvw[0], c.uvw[1], c.uvw[2]};
        const std::array<std::array<double, 3>, 3> axes{c.x, c.y, c.z};
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const auto tip = pointIn(frame, axis == 0, axis == 1, axis == 2);
            for (std::size_t k = 0; k < 3; ++k) {
                EXPECT_NEAR(tip[k] - origin[k], axes[axis][k], 1e-12)
                    << "axis " << axis << " component " << k;
            }
        }
    }
}

TEST(PoseConvention, NormalisesToCanonicalAngles) {
    struct Case {
        std::array<double, 3> in, out;
    };
    const Case cases[] = {
        {{190, 0, 0}, {-170, 0, 0}},
        {{-180, 0, 0}, {180, 0, 0}},
        {{0, 0, -180}, {0, 0, 180}},
        {{400, -30, -370}, {40, -30, -10}},
        {{0, 0, 540}, {0, 0, 180}},
        // V beyond +-90 is the same rotation as (U + 180, 180 - V, W + 180).
        {{0, 120, 0}, {180, 60, 180}},
        {{10, -100, 20}, {-170, -80, -160}},
        // Gimbal: only U - W (V = 90) or U + W (V = -90) is defined; W is reported as 0.
        {{30, 90, 10}, {20, 90, 0}},
        {{30, -90, 10}, {40, -90, 0}},
        {{-170, 90, 20}, {170, 90, 0}},
        // Close to the gimbal but not on it: the angles survive.
        {{45, 89.9, -30}, {45, 89.9, -30}},
        {{0, 0, 0}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        const Pose in{1, 2, 3, c.in[0], c.in[1], c.in[2]};
        SCOPED_TRACE(describe(in));
        const Pose out = RobotModel::compose(kFlange, in);
        EXPECT_NEAR(out[0], 1, 1e-12);
        EXPECT_NEAR(out[1], 2, 1e-12);
        EXPECT_NEAR(out[2], 3, 1e-12);
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_NEAR(out[3 + k], c.out[k], 1e-9) << "angle " << k;
        }
    }
}

TEST(PoseAlgebra, ComposeAndInvertKnownValues) {
    struct Case {
        const char* name;
        Pose actual, expected;
    };
    const Case cases[] = {
        // b's offset is taken along a's axes.
        {"offset in the rotated frame",
         RobotModel::compose({100, 0, 0, 90, 0, 0}, {10, 0, 0, 0, 0, 0}),
         {100, 10, 0, 90, 0, 0}},
        {"rotations multiply on the right",
         RobotModel::compose({0, 0, 0, 90, 0, 0}, {0, 0, 0, 0, 0, 90}),
         {0, 0, 0, 90, 0, 90}},
        {"the reverse product reaches the gimbal",
         RobotModel::compose({0, 0, 0, 0, 0, 90}, {0, 0, 0, 90, 0, 0}),
         {0, 0, 0, 90, -90, 0}},
        {"inverse of a turned frame",
         RobotModel::inverted({100, 0, 0, 90, 0, 0}),
         {0, 100, 0, -90, 0, 0}},
        {"inverse of a flipped frame",
         RobotModel::inverted({0, 0, 50, 0, 0, 180}),
         {0, 0, 50, 0, 0, 180}},
        // Round-off must not turn a half turn into -179.99999999999997.
        {"half turn about Z",
         RobotModel::compose({0, 0, 0, -180, 90, 180}, {0, 0, 0, 0, 0, 180}),
         {0, 0, 0, 180, 90, 0}},
        {"half turn about X",
         RobotModel::compose({0, 0, 0, -180, -135, 180}, {0, 0, 0, -180, 0, -180}),
         {0, 0, 0, 180, 45, 180}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (std::size_t k = 0; k < 6; ++k) {
            EXPECT_NEAR(c.actual[k], c.expected[k], 1e-9) << "element " << k;
        }
    }
}

TEST(PoseAlgebra, InverseAndAssociativityIdentities) {
    const Pose poses[] = {
        {0, 0, 0, 0, 0, 0},           {120, -45, 310, 30, 20, 10}, {-5, 7, -900, 179, -89, -179},
        {15, 25, 35, -120, 90, 45},   {300, 0, 0, 10, -90, 80},    {1, 2, 3, 0, 0, 180},
        {-250, 80, 40, -60, 45, 135},
    };
    const Pose identity{0, 0, 0, 0, 0, 0};
    for (const Pose& a : poses) {
        SCOPED_TRACE(describe(a));
        EXPECT_TRUE(samePose(identity, RobotModel::compose(a, RobotModel::inverted(a))));
        EXPECT_TRUE(samePose(identity, RobotModel::compose(RobotModel::inverted(a), a)));
        EXPECT_TRUE(samePose(a, RobotModel::inverted(RobotModel::inverted(a))));
        EXPECT_TRUE(samePose(a, RobotModel::compose(a, identity)));
        EXPECT_TRUE(samePose(a, RobotModel::compose(identity, a)));
        for (const Pose& b : poses) {
            SCOPED_TRACE(describe(b));
            const Pose c{3, -4, 5, 60, -30, 15};
            EXPECT_TRUE(samePose(RobotModel::compose(RobotModel::compose(a, b), c),
                                 RobotModel::compose(a, RobotModel::compose(b, c))));
            // (a b)^-1 = b^-1 a^-1
            EXPECT_TRUE(
                samePose(RobotModel::inverted(RobotModel::compose(a, b)),
                         RobotModel::compose(RobotModel::inverted(b), RobotModel::inverted(a))));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Forward kinematics

TEST(ForwardKinematics, KnownPostures) {
    // Worked out by hand from the link lengths (320, 100, 250, 30, 250, 65) and joint senses.
    struct Case {
        const char* name;
        Joints joints;
        Pose tool;
        Pose expected;
    };
    const Case cases[] = {
        {"zero posture: flange faces +X", {0, 0, 0, 0, 0, 0}, kFlange, {415, 0, 600, 180, -90, 0}},
        {"home: flange faces down", {0, 0, 0, 0, -90, 0}, kFlange, {350, 0, 535, 0, 0, 180}},
        {"J1 turns counter-clockwise", {90, 0, 0, 0, -90, 0}, kFlange, {0, 350, 535, 90, 0, 180}},
        {"negative J2 leans forward", {0, -90, 0, 0, 0, 0}, kFlange, {380, 0, 5, 0, 0, 180}},
        {"positive J2 leans back", {0, 90, 0, 0, 0, 0}, kFlange, {-180, 0, 635, 180, 0, 0}},
        {"positive J3 raises the forearm", {0, 0, 90, 0, 0, 0}, kFlange, {70, 0, 885, 180, 0, 0}},
        {"J4 turns about the forearm", {0, 0, 0, 90, -90, 0}, kFlange, {350, 65, 600, 0, 0, -90}},
        {"J4 alone rolls the flange", {0, 0, 0, 90, 0, 0}, kFlange, {415, 0, 600, -90, 0, -90}},
        {"J6 turns about the flange normal",
         {0, 0, 0, 0, -90, 90},
         kFlange,
         {350, 0, 535, -90, 0, 180}},
        {"a Tool along the flange normal",
         {0, 0, 0, 0, -90, 0},
         {0, 0, 100, 0, 0, 0},
         {350, 0, 435, 0, 0, 180}},
        {"a Tool offset and turned",
         {0, 0, 0, 0, -90, 0},
         {10, 20, 30, 90, 0, 0},
         {360, -20, 505, -90, 0, 180}},
    };
    const RobotModel model;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(samePose(c.expected, model.forward(c.joints, c.tool)));
    }
}

TEST(ForwardKinematics, HomeIsReachableAndAwayFromSingularities) {
    const RobotModel model;
    const Joints home = model.home();
    ASSERT_TRUE(model.withinLimits(home));
    EXPECT_GT(std::abs(home[4]), 30.0) << "J5 near 0 is the wrist singularity";
    EXPECT_GT(std::abs(home[2] - kFullStretchJ3), 30.0) << "elbow near full stretch";
    const auto wrist = pointIn(model.forward(home), 0, 0, -geometry::kFlangeOffset);
    EXPECT_GT(std::hypot(wrist[0], wrist[1]), 150.0) << "wrist centre near the J1 axis";
    EXPECT_TRUE(contains(model.inverse(model.forward(home), kFlange), home));
}

// ---------------------------------------------------------------------------------------------
// Inverse kinematics

TEST(InverseKinematics, RoundTripOverJointGrid) {
    const RobotModel model;
    const double j1s[] = {-150, 0, 165};
    const double j2s[] = {-140, -90, -40, 0, 50};
    const double j3s[] = {-40, 10, 60, 120, 200};
    const double j4s[] = {-190, 20, 150};
    const double j5s[] = {-120, -45, 35, 100};
    const double j6s[] = {-350, 45, 200};
    std::set<Configuration> configurations;
    int checked = 0;
    int total = 0;
    for (double j1 : j1s)
        for (double j2 : j2s)
            for (double j3 : j3s)
                for (double j4 : j4s)
                    for (double j5 : j5s)
                        for (double j6 : j6s) {
                            const Joints joints{j1, j2, j3, j4, j5, j6};
                            ++total;
                            const Pose pose = model.forward(joints);
                            // Stay clear of the base and of the shoulder singularity.
                            const auto wrist = pointIn(pose, 0, 0, -geometry::kFlangeOffset);
                            if (std::hypot(wrist[0], wrist[1]) < 120.0 ||
                                std::hypot(pose[0], pose[1]) < 120.0) {
                                continue;
                            }
                            ++checked;
                            configurations.insert(configurationOf(model, joints));
                            const std::vector<Joints> solutions = model.inverse(pose, kFlange);
                            ASSERT_TRUE(contains(solutions, joints))
                                << describe(joints) << " is missing from its own pose's "
                                << solutions.size() << " solutions";
                            ASSERT_TRUE(pairwiseDistinct(solutions));
                            for (const Joints& s : solutions) {
                                ASSERT_TRUE(model.withinLimits(s)) << describe(s);
                                ASSERT_TRUE(samePose(pose, model.forward(s)))
                                    << "solution " << describe(s) << " of " << describe(joints);
                            }
                        }
    EXPECT_GT(checked, total / 2) << "too few grid points were usable";
    EXPECT_EQ(configurations.size(), 8u) << "the grid must exercise every arm configuration";
}

TEST(InverseKinematics, GenericPoseHasEightDistinctConfigurations) {
    const RobotModel model;
    const Joints joints{-20, -60, 170, 30, 50, 20};
    const Pose pose = model.forward(joints);
    const std::vector<Joints> solutions = model.inverse(pose, kFlange);
    std::set<Configuration> configurations;
    std::vector<Joints> distinct;
    for (const Joints& s : solutions) {
        EXPECT_TRUE(samePose(pose, model.forward(s))) << describe(s);
        configurations.insert(configurationOf(model, s));
        if (!containsModulo360(distinct, s)) {
            distinct.push_back(s);
        }
    }
    EXPECT_EQ(configurations.size(), 8u);
    EXPECT_EQ(distinct.size(), 8u) << "solutions other than 360-degree equivalents";
}

TEST(InverseKinematics, ToolRoundTrip) {
    const RobotModel model;
    const Pose tools[] = {
        {0, 0, 100, 0, 0, 0},
        {50, -20, 120, 30, -15, 90},
        {0, 0, 0, 0, 0, 45},
        {-30, 0, 200, 0, 90, 0},
    };
    const Joints postures[] = {
        {0, 0, 0, 0, -90, 0},
        {30, -40, 30, 20, -60, 10},
        {-120, -100, 150, -170, 70, 300},
        {60, 20, 40, 100, 100, -200},
    };
    for (const Pose& tool : tools) {
        for (const Joints& joints : postures) {
            SCOPED_TRACE("tool " + describe(tool) + ", joints " + describe(joints));
            const Pose target = model.forward(joints, tool);
            const std::vector<Joints> solutions = model.inverse(target, tool);
            EXPECT_TRUE(contains(solutions, joints));
            for (const Joints& s : solutions) {
                EXPECT_TRUE(samePose(target, model.forward(s, tool))) << describe(s);
            }
        }
    }
}

TEST(InverseKinematics, SingularitiesStillSolve) {
    // The free angle is fixed; every solution must still reach the pose.
    const RobotModel model;
    struct Case {
        const char* name;
        Pose pose;
    };
    const Case cases[] = {
        {"wrist straight (J5 = 0)", model.forward({20, -30, 40, 0, 0, 30})},
        {"wrist straight with J4 turned", model.forward({20, -30, 40, 50, 0, -20})},
        {"wrist centre on the J1 axis", withWristOnJ1Axis(model, {40, 53, 6, 0, 60, 0})},
        {"both at once", withWristOnJ1Axis(model, {-30, 53, 6, 0, 0, 0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Pose& pose = c.pose;
        const std::vector<Joints> solutions = model.inverse(pose, kFlange);
        EXPECT_FALSE(solutions.empty());
        for (const Joints& s : solutions) {
            EXPECT_TRUE(samePose(pose, model.forward(s))) << describe(s);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Least joint motion

TEST(LeastJointMotion, ReferenceNearEachSolutionSelectsIt) {
    const RobotModel model;
    const Pose pose = model.forward({-20, -60, 170, 30, 50, 20});
    const std::vector<Joints> solutions = model.inverse(pose, kFlange);
    ASSERT_GE(solutions.size(), 8u);
    const Joints offsets[] = {
        {0, 0, 0, 0, 0, 0},    {3, 3, 3, 3, 3, 3},  {-3, -3, -3, -3, -3, -3},
        {5, -5, 5, -5, 5, -5}, {0, 0, 0, 0, 0, 40},
    };
    for (const Joints& s : solutions) {
        for (const Joints& offset : offsets) {
            Joints reference{};
            for (std::size_t i = 0; i < 6; ++i) {
                reference[i] = s[i] + offset[i];
            }
            SCOPED_TRACE("reference " + describe(reference));
            const std::optional<Joints> chosen = model.inverseNearest(pose, kFlange, reference);
            ASSERT_TRUE(chosen.has_value());
            EXPECT_TRUE(sameJoints(*chosen, s, 1e-9))
                << "expected " << describe(s) << ", got " << describe(*chosen);
        }
    }
}

TEST(LeastJointMotion, PicksTheNearestEquivalentOfWrapAroundJoints) {
    // J4 (+-200) and J6 (+-360) can reach an angle two ways; the one nearer the reference wins.
    struct Case {
        Joints joints;
        Joints reference;
        double expectedJ4, expectedJ6;
    };
    const Case cases[] = {
        {{10, -40, 30, 20, -60, 30}, {10, -40, 30, 20, -60, -300}, 20, -330},
        {{10, -40, 30, 20, -60, -150}, {10, -40, 30, 20, -60, 190}, 20, 210},
        {{10, -40, 30, 170, -60, 30}, {10, -40, 30, -180, -60, 0}, -190, 30},
        {{10, -40, 30, -170, -60, -150}, {10, -40, 30, 180, -60, 190}, 190, 210},
    };
    const RobotModel model;
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.reference));
        const std::optional<Joints> chosen =
            model.inverseNearest(model.forward(c.joints), kFlange, c.reference);
        ASSERT_TRUE(chosen.has_value());
        EXPECT_NEAR((*chosen)[3], c.expectedJ4, 1e-6);
        EXPECT_NEAR((*chosen)[5], c.expectedJ6, 1e-6);
    }
}

TEST(LeastJointMotion, SingularitiesKeepTheReferenceAngle) {
    struct Case {
        const char* name;
        Joints joints;
        Joints reference;
        std::size_t keptJoint;
    };
    const Case cases[] = {
        // J5 = 0: only J4 + J6 matters, so J4 stays where the reference has it.
        {"wrist", {20, -30, 40, 0, 0, 30}, {20, -30, 40, 55, 2, 0}, 3},
        {"wrist, far J4", {20, -30, 40, 0, 0, 30}, {20, -30, 40, -170, -2, 200}, 3},
        // Wrist centre on the J1 axis: any J1 works, so J1 stays.
        {"shoulder", {40, 53, 6, 0, 60, 0}, {-65, 50, 10, 0, 60, 0}, 0},
        {"shoulder", {40, 53, 6, 0, 60, 0}, {125, 50, 10, 0, 60, 0}, 0},
    };
    const RobotModel model;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + std::string(" ") + describe(c.reference));
        const Pose pose =
            c.keptJoint == 0 ? withWristOnJ1Axis(model, c.joints) : model.forward(c.joints);
        const std::optional<Joints> chosen = model.inverseNearest(pose, kFlange, c.reference);
        ASSERT_TRUE(chosen.has_value());
        EXPECT_NEAR((*chosen)[c.keptJoint], c.reference[c.keptJoint], 1e-9) << describe(*chosen);
        EXPECT_TRUE(samePose(pose, model.forward(*chosen)));
    }
}

TEST(LeastJointMotion, LargestJointDifferenceRanksBeforeTheSum) {
    // Between a solution A and its wrist-flip sibling B, build a reference that is nearer A by
    // the largest joint difference but nearer B by the sum of differences.
    const RobotModel model;
    const Joints a{-20, -60, 170, 30, 50, 20};
    const Joints b{-20, -60, 170, -150, -50, -160};
    const Pose pose = model.forward(a);
    ASSERT_TRUE(contains(model.inverse(pose, kFlange), b));
    // Differences to A: (0,0,0,85,70,85) -> largest 85, sum 240.
    // Differences to B: (0,0,0,95,30,95) -> largest 95, sum 220.
    const Joints reference{-20, -60, 170, 30 - 85, 50 - 70, 20 - 85};
    const std::optional<Joints> chosen = model.inverseNearest(pose, kFlange, reference);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_TRUE(sameJoints(*chosen, a)) << describe(*chosen);
}

// ---------------------------------------------------------------------------------------------
// Reachability and limits

TEST(Reachability, TargetsAtTheEdgesOfTheWorkspace) {
    using namespace geometry;
    // Reach of the wrist centre from the J2 axis, and where that axis sits.
    const double reach = kUpperArm + std::hypot(kForearm, kElbowOffset);
    const double shoulderX = kShoulderOffset;
    const double shoulderZ = kBaseHeight;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Pose longTool{0, 0, 300, 0, 0, 0};
    const Pose sideTool{0, 100, 0, 0, 0, 0};
    struct Case {
        const char* name;
        Pose target;
        Pose tool;
        bool reachable;
    };
    // Reachable rows are the counterparts that show the boundary lies where it should.
    const Case cases[] = {
        {"flange up, wrist centre just inside full stretch",
         {shoulderX, 0, shoulderZ + reach - 0.01 + kFlangeOffset, 0, 0, 0},
         kFlange,
         true},
        {"flange up, wrist centre exactly at full stretch",
         {shoulderX, 0, shoulderZ + reach + kFlangeOffset, 0, 0, 0},
         kFlange,
         true},
        {"flange up, wrist centre 1 mm past full stretch",
         {shoulderX, 0, shoulderZ + reach + 1 + kFlangeOffset, 0, 0, 0},
         kFlange,
         false},
        {"too far forward", {1000, 0, 400, 0, 0, 180}, kFlange, false},
        {"too far down", {300, 0, -700, 0, 0, 180}, kFlange, false},
        {"flange facing down just outside the base column", {85, 0, 0, 0, 0, 180}, kFlange, true},
        {"flange facing down just inside the base column", {75, 0, 0, 0, 0, 180}, kFlange, false},
        {"flange facing down on the base axis", {0, 0, 0, 0, 0, 180}, kFlange, false},
        {"flange facing the base from outside the column", {90, 0, 0, 0, -90, 0}, kFlange, true},
        {"flange facing the base, inside the column", {40, 0, 0, 0, -90, 0}, kFlange, false},
        {"flange tilted away, wrist centre outside the column",
         {140, 0, 0, 0, 135, 0},
         kFlange,
         true},
        {"flange tilted away, wrist centre inside the column",
         {100, 0, 0, 0, 135, 0},
         kFlange,
         false},
        {"flange inside the column, TCP and wrist centre outside",
         {40, 100, 0, 0, -90, 0},
         sideTool,
         false},
        {"flange just outside the column on a sideways Tool",
         {90, 100, 0, 0, -90, 0},
         sideTool,
         true},
        {"TCP of a long Tool just outside the base column",
         {85, 0, 250, 0, 0, 180},
         longTool,
         true},
        {"TCP of a long Tool inside the base column", {0, 0, 250, 0, 0, 180}, longTool, false},
        // 420 mm from the J1 axis at azimuth 165 and 175 degrees.
        {"behind the arm, inside the J1 limit", {-405.69, 108.70, 450, 0, 0, 180}, kFlange, true},
        {"behind the arm, past the J1 limit", {-418.40, 36.61, 450, 0, 0, 180}, kFlange, false},
        {"not a number", {nan, 0, 400, 0, 0, 180}, kFlange, false},
    };
    const RobotModel model;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<Joints> solutions = model.inverse(c.target, c.tool);
        EXPECT_EQ(!solutions.empty(), c.reachable);
        EXPECT_TRUE(pairwiseDistinct(solutions));
        EXPECT_EQ(model.inverseNearest(c.target, c.tool, model.home()).has_value(), c.reachable);
        for (const Joints& s : solutions) {
            EXPECT_TRUE(samePose(c.target, model.forward(s, c.tool))) << describe(s);
        }
    }
}

TEST(Reachability, PosturesBeyondALimitAreNotReturned) {
    struct Case {
        Joints joints;
        bool equivalentWithinLimits;  // the same angles modulo 360 are allowed
    };
    const Case cases[] = {
        {{175, -30, 40, 10, -50, 0}, false}, {{-175, -30, 40, 10, -50, 0}, false},
        {{0, -165, 120, 10, -50, 0}, false}, {{0, 70, 20, 10, -50, 0}, false},
        {{0, -30, -55, 10, -50, 0}, false},  {{0, -100, 230, 10, 50, 0}, false},
        {{0, -30, 40, 10, 140, 0}, false},   {{0, -30, 40, 10, -140, 0}, false},
        {{0, -30, 40, 205, -50, 0}, true},   {{0, -30, 40, -205, -50, 0}, true},
        {{0, -30, 40, 10, -50, 365}, true},  {{0, -30, 40, 10, -50, -370}, true},
    };
    const RobotModel model;
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.joints));
        ASSERT_FALSE(model.withinLimits(c.joints));
        const std::vector<Joints> solutions = model.inverse(model.forward(c.joints), kFlange);
        for (const Joints& s : solutions) {
            EXPECT_TRUE(model.withinLimits(s)) << describe(s);
        }
        EXPECT_EQ(containsModulo360(solutions, c.joints), c.equivalentWithinLimits);
    }
}

TEST(Reachability, WithinLimitsBoundaries) {
    const RobotModel model;
    const Joints lower = model.lowerLimits();
    const Joints upper = model.upperLimits();
    const Joints expectedLower{-170, -160, -51, -200, -135, -360};
    const Joints expectedUpper{170, 65, 225, 200, 135, 360};
    EXPECT_EQ(lower, expectedLower);
    EXPECT_EQ(upper, expectedUpper);
    EXPECT_TRUE(model.withinLimits(lower));
    EXPECT_TRUE(model.withinLimits(upper));
    for (std::size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE("joint " + std::to_string(i + 1));
        Joints below = lower;
        below[i] -= 1e-3;
        Joints above = upper;
        above[i] += 1e-3;
        Joints invalid = model.home();
        invalid[i] = std::numeric_limits<double>::quiet_NaN();
        EXPECT_FALSE(model.withinLimits(below));
        EXPECT_FALSE(model.withinLimits(above));
        EXPECT_FALSE(model.withinLimits(invalid));
    }
}

}  // namespace
}  // namespace epson::sim
