#include "stderr_capture.h"

#include "broker.h"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

namespace test_support {

StderrCapture::StderrCapture() : dir_(make_temp_dir()) {
    const int file = ::open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    saved_ = ::dup(STDERR_FILENO);
    if (file < 0 || saved_ < 0 || ::dup2(file, STDERR_FILENO) < 0) {
        throw std::runtime_error("cannot redirect standard error");
    }
    ::close(file);
}

StderrCapture::~StderrCapture() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    remove_tree(dir_);
}

std::string StderrCapture::text() const {
    return read_file(dir_ + "/stderr");
}

bool StderrCapture::wait_for(const std::string& needle, std::chrono::milliseconds deadline) const {
    return eventually([&] { return text().find(needle) != std::string::npos; }, deadline);
}

}  // namespace test_support
