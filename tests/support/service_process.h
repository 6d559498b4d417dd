#pragma once

// The real service binary, started against a broker, its standard error
// captured in a file.

#include <sys/types.h>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

// Sanitizers bring memory of their own: memory bounds are for plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized_build() {
    return true;
}
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitized_build() {
    return true;
}
#else
constexpr bool sanitized_build() {
    return false;
}
#endif
#else
constexpr bool sanitized_build() {
    return false;
}
#endif

class ServiceProcess {
public:
    // journal_stream: JOURNAL_STREAM names its standard error, as under systemd.
    // environment: set for the service only, not for the test's own clients.
    explicit ServiceProcess(const std::string& broker_uri, bool journal_stream = false,
                            const std::vector<std::pair<std::string, std::string>>& environment = {});
    ~ServiceProcess();  // kills it if still running
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    pid_t pid() const { return pid_; }
    std::string log() const;
    bool wait_for_log(const std::string& needle, std::chrono::milliseconds deadline) const;
    std::size_t count_in_log(const std::string& needle) const;
    bool running();
    // Exit status once it has exited, or -1 when it still runs at the deadline.
    int wait_exit(std::chrono::milliseconds deadline);
    void kill();
    // Peak resident memory so far (VmHWM), in KiB; 0 once it has exited.
    std::size_t peak_memory_kib() const;
    // Whether the binary runs under an emulator, whose memory is counted with it.
    static bool emulated();

private:
    std::string dir_;
    pid_t pid_ = -1;
    int status_ = -1;
};

}  // namespace test_support
