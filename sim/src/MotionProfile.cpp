#include "MotionProfile.hpp"

#include <cmath>

namespace epson::sim::detail {

Trapezoid::Trapezoid(double velocity, double acceleration, double deceleration) {
    if (!std::isfinite(velocity) || !std::isfinite(acceleration) || !std::isfinite(deceleration)) {
        return;  // nothing to move: zero duration, and no infinite rate for a stop to use
    }
    peak_ = velocity;
    accel_ = acceleration;
    decel_ = deceleration;
    const double rampDistance =
        velocity * velocity / (2.0 * acceleration) + velocity * velocity / (2.0 * deceleration);
    if (rampDistance <= 1.0) {
        cruiseTime_ = (1.0 - rampDistance) / velocity;
    } else {
        // Triangle: v^2/(2a) + v^2/(2d) = 1.
        peak_ = std::sqrt(2.0 * acceleration * deceleration / (acceleration + deceleration));
    }
    accelTime_ = peak_ / acceleration;
    decelTime_ = peak_ / deceleration;
}

double Trapezoid::position(double t) const {
    const double total = duration();
    if (t <= 0.0 || total <= 0.0) {
        return total <= 0.0 ? 1.0 : 0.0;
    }
    if (t >= total) {
        return 1.0;
    }
    if (t < accelTime_) {
        return 0.5 * accel_ * t * t;
    }
    const double afterAccel = 0.5 * peak_ * accelTime_;
    if (t < accelTime_ + cruiseTime_) {
        return afterAccel + peak_ * (t - accelTime_);
    }
    const double remaining = total - t;
    return 1.0 - 0.5 * decel_ * remaining * remaining;
}

double Trapezoid::velocity(double t) const {
    const double total = duration();
    if (t <= 0.0 || t >= total) {
        return 0.0;
    }
    if (t < accelTime_) {
        return accel_ * t;
    }
    if (t < accelTime_ + cruiseTime_) {
        return peak_;
    }
    return decel_ * (total - t);
}

}  // namespace epson::sim::detail
