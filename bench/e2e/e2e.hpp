#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/harness.hpp"

// The end-to-end benchmark: the real daemon on a configuration of its own, producer processes,
// the event log on disk. One file per thing measured, each printing its own figures; every
// wait has a deadline and fails the run, so a daemon that dies never leaves it hanging.
namespace e2e {

using namespace std::literals;

// A function run in a child process, waited for with a deadline and killed after it.
class forked {
public:
    explicit forked(const std::function<void()>& body) : pid(::fork()) {
        if (pid == 0) {
            try {
                body();
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
    }
    forked(const forked&) = delete;
    forked& operator=(const forked&) = delete;
    ~forked() { wait(10s); }
    // Whether it ended by itself within `timeout`.
    bool wait(std::chrono::milliseconds timeout) {
        if (pid <= 0) return true;
        const bool ended =
            test::eventually([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, timeout, 1ms);
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        pid = -1;
        return ended;
    }

private:
    pid_t pid;
};

// The daemon, ready; `consumer` adds settings of that section as ", key: value".
inline std::unique_ptr<test::daemon> start_daemon(const std::string& consumer = "",
                                                  const std::string& binary = VELMOEVENTSD_PATH) {
    auto daemon = std::make_unique<test::daemon>();
    daemon->configure("log_level: info\n", "", consumer);
    if (!daemon->start("", binary)) {
        throw std::runtime_error("the daemon did not start:\n" + daemon->running().output());
    }
    return daemon;
}

// Polls `done` until it holds; fails the run once `writer` has exited or the time is up.
inline void wait_until(const std::function<bool()>& done, test::process& writer,
                       const std::string& what, std::chrono::milliseconds timeout = 2min,
                       std::chrono::microseconds period = 200us) {
    test::eventually([&] { return done() || writer.exited(); }, timeout, period);
    if (!done()) {
        throw std::runtime_error(what + (writer.exited() ? ", and the writer exited:\n" : ":\n") +
                                 writer.output());
    }
}

// Records per second into `log`, from its first byte past `from` until it holds `bytes`.
inline double fill_rate(const test::path& log, std::uint64_t from, std::uint64_t bytes,
                        std::size_t records, test::process& writer) {
    const std::string what = "the log did not reach " + std::to_string(bytes) + " bytes";
    wait_until([&] { return test::size_of(log) > from; }, writer, what);
    const auto start = std::chrono::steady_clock::now();
    wait_until([&] { return test::size_of(log) >= bytes; }, writer, what);
    return static_cast<double>(records) / test::seconds_since(start);
}

// Writes back what the earlier phases left dirty in the page cache, so that no phase is
// measured while the kernel writes back another's gigabyte.
inline void settle() { ::sync(); }

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct latencies {
    double p50, p99, p999;
};

latencies measure_latency(test::daemon& daemon, int processes, std::size_t size, double total_rate,
                          double seconds, int producer_nice = 0);
void throughput();
// Whether the flood lost nothing.
bool floods(double flood_seconds);
void peers(int rounds, const std::string& other_daemon);
// What one connection costs the daemon, with 10 and with 3,000 producers connecting at once.
void connections(const std::string& other_daemon);
// The daemon's rate at 64 B with its log sealed and not, in `rounds` rounds of both.
void sealing(int rounds);

}  // namespace e2e
