#include "service_process.h"

#include "broker.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#ifndef SERVICE_BINARY
#error SERVICE_BINARY must name the service executable
#endif
#ifndef SERVICE_LAUNCHER
#define SERVICE_LAUNCHER ""
#endif

namespace test_support {

ServiceProcess::ServiceProcess(const std::string& broker_uri, bool journal_stream,
                               const std::vector<std::pair<std::string, std::string>>& environment)
    : dir_(make_temp_dir()) {
    // The launcher (an emulator for a cross build) is a '|'-separated list.
    std::vector<std::string> args;
    std::stringstream launcher(SERVICE_LAUNCHER);
    for (std::string word; std::getline(launcher, word, '|');) {
        if (!word.empty()) args.push_back(word);
    }
    args.push_back(SERVICE_BINARY);
    const std::string err = dir_ + "/stderr.log";
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        end_with_parent(parent);
        const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDERR_FILENO);
        struct stat st {};
        if (journal_stream && ::fstat(STDERR_FILENO, &st) == 0) {
            ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(),
                     1);
        }
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::setenv("MQTT_BROKER", broker_uri.c_str(), 1);
        for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
}

ServiceProcess::~ServiceProcess() {
    kill();
    // A sanitizer build of the service reports into its log.
    const auto text = log();
    for (const char* report : {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"}) {
        if (text.find(report) != std::string::npos)
            ADD_FAILURE() << "service log has a " << report << " report:\n" << text;
    }
    test_support::remove_tree(dir_);
}

std::string ServiceProcess::log() const {
    return read_file(dir_ + "/stderr.log");
}

bool ServiceProcess::wait_for_log(const std::string& needle, std::chrono::milliseconds deadline) const {
    return eventually([&] { return log().find(needle) != std::string::npos; }, deadline);
}

std::size_t ServiceProcess::count_in_log(const std::string& needle) const {
    return count_of(log(), needle);
}

bool ServiceProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        return false;
    }
    return true;
}

int ServiceProcess::wait_exit(std::chrono::milliseconds deadline) {
    eventually([&] { return !running(); }, deadline);
    return running() ? -1 : status_;
}

void ServiceProcess::kill() {
    if (!running()) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::size_t ServiceProcess::peak_memory_kib() const {
    if (pid_ <= 0) return 0;
    std::istringstream status(read_file("/proc/" + std::to_string(pid_) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stoul(line.substr(6));
    }
    return 0;
}

bool ServiceProcess::emulated() {
    return SERVICE_LAUNCHER[0] != '\0';
}

}  // namespace test_support
