#pragma once

// This process's standard error in a file, which a test can read while the
// client's threads may still be writing to it; restored when destroyed.

#include <chrono>
#include <string>

namespace test_support {

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text() const;
    bool wait_for(const std::string& needle,
                  std::chrono::milliseconds deadline = std::chrono::seconds(20)) const;

private:
    std::string dir_;
    int saved_ = -1;
};

}  // namespace test_support
