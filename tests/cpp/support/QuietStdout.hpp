#pragma once

// Keeps the connector's console lines out of the test log, but hands them back, together with
// any failure message printed while they were held, when the test has failed: a failure inside a
// captured stretch would otherwise vanish with the capture.

#include <iostream>
#include <string>

#include <gtest/gtest.h>

namespace epson::test {

class QuietStdout {
  public:
    QuietStdout() { ::testing::internal::CaptureStdout(); }
    ~QuietStdout() {
        const std::string held = ::testing::internal::GetCapturedStdout();
        if (::testing::Test::HasFailure()) {
            std::cout << held << std::flush;
        }
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;
};

}  // namespace epson::test
