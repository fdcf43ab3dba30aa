#pragma once

// Kinematic model of the simulated six-axis arm: forward and closed-form inverse kinematics,
// the controller's pose convention, Tools and least-joint-motion selection. Pure computation,
// no state beyond constants, safe to share between threads.

#include <array>
#include <optional>
#include <vector>

namespace epson::sim {

// Joint vector [J1 .. J6], degrees.
using Joints = std::array<double, 6>;

// Controller pose [X, Y, Z, U, V, W]: position in mm, orientation in degrees.
//
// Orientation convention: R = Rz(U) * Ry(V) * Rx(W), each a right-handed rotation about a
// fixed world axis (so W is applied first about X, then V about Y, then U about Z). The
// columns of R are the pose frame's x, y and z axes in the parent frame. Poses produced by
// this model are normalised: U, W in (-180, 180], V in [-90, 90]. At the gimbal case
// V = +-90 only U - W (V = +90) or U + W (V = -90) is defined; the model then reports W = 0
// and puts the whole rotation about Z into U.
using Pose = std::array<double, 6>;

// Arm geometry in mm. The arm is drawn in its zero posture (all joints 0): the upper arm
// points straight up, the forearm points along +X, the flange faces +X.
//
//   J1: vertical axis through the world origin (the base centre on the mounting plane).
//   J2: horizontal, kShoulderOffset along +X from J1 and kBaseHeight above the mounting plane.
//   J3: kUpperArm above J2.
//   J4: the forearm axis, kElbowOffset above J3, running along +X; the wrist centre lies
//       kForearm along it from the plane of J3 (J4, J5 and J6 meet there: spherical wrist).
//   J6: the flange normal; the flange face is kFlangeOffset beyond the wrist centre.
//
// Positive directions: J1 turns counter-clockwise seen from above (about +Z); J2, J3 and J5
// rotate about -Y in the zero posture, so positive J2 leans the upper arm backwards, positive
// J3 raises the forearm and positive J5 tilts the flange upwards; J4 and J6 turn right-handed
// about the forearm axis and the flange normal, pointing away from the arm.
//
// Flange frame: z along the flange normal (pointing out of the arm), x towards +Z in the zero
// posture. Zero posture flange pose: [415, 0, 600, 180, -90, 0]. In the home posture
// [0, 0, 0, 0, -90, 0] the flange faces down with x along +X: [350, 0, 535, 0, 0, 180].
namespace geometry {
inline constexpr double kBaseHeight = 320.0;      // mounting plane to the J2 axis
inline constexpr double kShoulderOffset = 100.0;  // J1 axis to the J2 axis
inline constexpr double kUpperArm = 250.0;        // J2 axis to the J3 axis
inline constexpr double kElbowOffset = 30.0;      // J3 axis to the forearm axis
inline constexpr double kForearm = 250.0;         // J3 to the wrist centre, along the forearm
inline constexpr double kFlangeOffset = 65.0;     // wrist centre to the flange face
// Crude keep-out volume for the base: a vertical column of this radius around the J1 axis,
// from below the mounting plane up to kBaseHeight. A target whose TCP, flange centre or wrist
// centre lies inside it has no solution.
inline constexpr double kBaseRadius = 80.0;

// The chain that forward kinematics walks, and what draws the arm: joint i turns the frame
// reached so far about one of its own axes (`sign` -1 where a positive angle turns about the
// negative axis), then the link's offset is taken along the turned axes. After J6 comes the
// flange: its axes are the columns of kFlangeAxes in the frame J6 turns.
struct Link {
    char axis;  // 'x', 'y' or 'z'
    int sign;
    std::array<double, 3> offset;
};
inline constexpr std::array<Link, 6> kLinks{{
    {'z', 1, {kShoulderOffset, 0.0, kBaseHeight}},
    {'y', -1, {0.0, 0.0, kUpperArm}},
    {'y', -1, {kForearm, 0.0, kElbowOffset}},
    {'x', 1, {0.0, 0.0, 0.0}},
    {'y', -1, {0.0, 0.0, 0.0}},
    {'x', 1, {kFlangeOffset, 0.0, 0.0}},
}};
// Row-major; exact entries, so the zero posture has no round-off.
inline constexpr std::array<std::array<double, 3>, 3> kFlangeAxes{{
    {0.0, 0.0, 1.0},
    {0.0, -1.0, 0.0},
    {1.0, 0.0, 0.0},
}};
}  // namespace geometry

// An arm configuration, as the controller's point flags name it: the hand (/R: the wrist centre
// in front of the J1 axis, /L: behind it), the elbow (/A: above the line from J2 to the wrist
// centre, /B: below it) and the wrist (/NF: J5 >= 0, /F: J5 < 0).
struct Configuration {
    bool lefty = false;
    bool below = false;
    bool flip = false;
    bool operator==(const Configuration&) const = default;
};

// The wrist that a least-joint-motion choice takes, as the LJM orientation flag selects: 0
// the one the default rule finds; 1 and 2, among the wrist alternatives of the arm posture
// the default rule finds, the one that turns J4 least (1) or J6 least (2), ties going to the
// default rule.
enum class LjmOrientation { Default = 0, LeastJ4 = 1, LeastJ6 = 2 };

class RobotModel {
  public:
    // Joint limits in degrees, inclusive:
    //   J1 -170..170, J2 -160..65, J3 -51..225, J4 -200..200, J5 -135..135, J6 -360..360.
    RobotModel();

    // Flange pose (Tool 0).
    Pose forward(const Joints& joints) const;
    // Pose of the Tool frame: the flange pose composed with the Tool.
    Pose forward(const Joints& joints, const Pose& tool) const;

    // Every joint vector within limits whose Tool frame reaches the target. These are up to
    // eight arm configurations (shoulder front/back, elbow up/down, wrist flip/no flip);
    // where J4 or J6 can also reach an equivalent angle 360 degrees away within its limits,
    // each such variant is listed as a separate solution. At a singularity the free joint is
    // fixed: with the wrist centre on the J1 axis J1 is taken as 0 (or 180), with J5 = 0 the
    // rotation goes to J6 and J4 is 0. Empty when the target is out of reach, inside the base
    // or reachable only outside the limits. The order is deterministic but otherwise
    // unspecified.
    std::vector<Joints> inverse(const Pose& target, const Pose& tool) const;

    // Least joint motion: the solution nearest the reference, by the largest absolute joint
    // difference (the joint that moves most sets the duration of a synchronised move); ties go
    // to the smaller sum of absolute differences. At a singularity J1 or J4 keeps the
    // reference's value. Empty when inverse() has no solution.
    std::optional<Joints> inverseNearest(
        const Pose& target, const Pose& tool, const Joints& reference,
        LjmOrientation orientation = LjmOrientation::Default) const;
    // The solution nearest the reference among those of the given configuration; empty when
    // the target cannot be reached in it.
    std::optional<Joints> inverseKeeping(const Pose& target, const Pose& tool,
                                         const Configuration& configuration,
                                         const Joints& reference) const;
    Configuration configuration(const Joints& joints) const;

    bool withinLimits(const Joints& joints) const;
    const Joints& lowerLimits() const { return lower_; }
    const Joints& upperLimits() const { return upper_; }

    // a then b: b is expressed in a's frame (T = Ta * Tb).
    static Pose compose(const Pose& a, const Pose& b);
    static Pose inverted(const Pose& p);

    // Forearm level, flange facing down: [0, 0, 0, 0, -90, 0].
    Joints home() const;

  private:
    std::vector<Joints> solve(const Pose& target, const Pose& tool, double j1Hint,
                              double j4Hint) const;

    Joints lower_;
    Joints upper_;
};

}  // namespace epson::sim
