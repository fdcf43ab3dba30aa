#pragma once

// Trapezoidal velocity profile over a normalised distance of 1: constant acceleration, an
// optional cruise at the peak velocity, constant deceleration. When the distance is too short
// to reach the velocity limit the profile is a triangle.

namespace epson::sim::detail {

class Trapezoid {
  public:
    Trapezoid() = default;
    // velocity, acceleration and deceleration in units of the whole distance per second
    // (per second squared); all must be positive. Infinite limits give a zero-length profile.
    Trapezoid(double velocity, double acceleration, double deceleration);

    double duration() const { return accelTime_ + cruiseTime_ + decelTime_; }
    // Fraction of the distance covered after t seconds, 0 before the start and 1 after the end.
    double position(double t) const;
    // Fractions of the distance per second after t seconds.
    double velocity(double t) const;
    double deceleration() const { return decel_; }

  private:
    double peak_ = 0.0;
    double accel_ = 0.0;
    double decel_ = 0.0;
    double accelTime_ = 0.0;
    double cruiseTime_ = 0.0;
    double decelTime_ = 0.0;
};

}  // namespace epson::sim::detail
