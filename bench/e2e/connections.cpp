// What one connection costs the daemon when a crowd of producers connects at once and each
// sends one record, from the first connect until every record is in the file: wall time and
// the daemon's CPU time per connection, medians over rounds, for 10 and for 3,000 producers.
#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <zmq.hpp>

#include "e2e/e2e.hpp"

namespace e2e {

namespace {

// CPU time the process has used so far, all its threads, in seconds.
double cpu_seconds(pid_t pid) {
    double total = 0;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        double nanoseconds = 0;
        std::ifstream(task.path() / "schedstat") >> nanoseconds;
        total += nanoseconds / 1e9;
    }
    return total;
}

std::size_t descriptors(pid_t pid) {
    const std::filesystem::directory_iterator entries("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<std::size_t>(std::distance(entries, {}));
}

}  // namespace

void connections(const std::string& other_daemon) {
    rlimit limits{};
    ::getrlimit(RLIMIT_NOFILE, &limits);
    limits.rlim_cur = limits.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limits);
    std::printf("%-9s %9s %7s %14s %14s %9s\n", "daemon", "producers", "rounds", "us/conn wall",
                "us/conn CPU", "peak MiB");
    const std::string record = "one record per producer";
    std::vector<std::string> binaries{VELMOEVENTSD_PATH};
    if (!other_daemon.empty()) binaries.push_back(other_daemon);
    for (const auto& binary : binaries) {
        for (const int crowd : {10, 3000}) {
            auto daemon = start_daemon("", binary);
            const pid_t pid = daemon->running().pid();
            const test::path log = daemon->output();
            const int rounds = crowd == 10 ? 50 : 5;
            std::vector<double> wall, cpu;
            for (int round = 0; round < rounds; ++round) {
                zmq::context_t context;
                context.set(zmq::ctxopt::max_sockets, crowd + 16);
                std::vector<zmq::socket_t> producers;
                const std::uint64_t expected =
                    test::size_of(log) + static_cast<std::uint64_t>(crowd) * (record.size() + 1);
                const std::size_t idle = descriptors(pid);
                const double cpu_before = cpu_seconds(pid);
                const auto start = std::chrono::steady_clock::now();
                for (int i = 0; i < crowd; ++i) {
                    auto& socket = producers.emplace_back(context, zmq::socket_type::push);
                    socket.set(zmq::sockopt::linger, 0);
                    socket.connect(daemon->endpoint());
                    socket.send(zmq::buffer(record), zmq::send_flags::dontwait);
                }
                wait_until([&] { return test::size_of(log) >= expected; }, daemon->running(),
                           "the crowd's records did not all arrive");
                wall.push_back(test::seconds_since(start) * 1e6 / crowd);
                cpu.push_back((cpu_seconds(pid) - cpu_before) * 1e6 / crowd);
                producers.clear();
                // The daemon has ended the connections before the next round starts.
                wait_until([&] { return descriptors(pid) <= idle; }, daemon->running(),
                           "the daemon kept the crowd's connections");
            }
            std::printf("%-9s %9d %7d %14.1f %14.1f %9.1f\n",
                        binary == VELMOEVENTSD_PATH ? "this" : "other", crowd, rounds, median(wall),
                        median(cpu), test::peak_mib(pid));
            std::fflush(stdout);
            daemon->stop(SIGTERM);
        }
    }
}

}  // namespace e2e
