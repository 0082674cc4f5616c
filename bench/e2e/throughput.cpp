// Throughput: records per second and MB/s into the file against bare loops of the same
// appends on the same file, the daemon's peak memory, and the latency at half the rate found.
#include <fcntl.h>
#include <sys/uio.h>

#include <array>
#include <cstdio>

#include "e2e/e2e.hpp"
#include "io/unique_fd.hpp"
#include "producers.hpp"

namespace e2e {
namespace {

// Appends `count` records of `size` bytes to the file with one or two calls per record.
double bare_appends(const test::path& path, std::size_t size, std::size_t count, bool two_writes) {
    const io::unique_fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    std::string record(size, 'b');
    char newline = '\n';
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        std::array<iovec, 2> parts{{{record.data(), record.size()}, {&newline, 1}}};
        const bool written = two_writes ? ::write(fd.get(), record.data(), record.size()) >= 0 &&
                                              ::write(fd.get(), &newline, 1) >= 0
                                        : ::writev(fd.get(), parts.data(), 2) >= 0;
        if (!written) throw std::system_error(errno, std::generic_category(), "bare appends");
    }
    return static_cast<double>(count) / test::seconds_since(start);
}

}  // namespace

void throughput() {
    std::printf("%-6s %-4s %11s %8s %9s %9s %8s %9s %9s %9s %13s %13s\n", "record", "prod", "rec/s",
                "MB/s", "vs 2xwrite", "vs writev", "peak MiB", "p50 us", "p99 us", "p99.9 us",
                "p99 nice10", "p99.9 nice10");
    for (std::size_t size : {64U, 512U, 4096U}) {
        for (int processes : {1, 4}) {
            const std::size_t total = size == 4096 ? 300000 : 2000000;
            auto daemon = start_daemon();
            const test::path log = daemon->output();
            // The bare loops run both before and after the daemon and count with their mean:
            // how fast this machine appends drifts by a factor of two or more with the
            // gigabytes written just before, even after a sync.
            settle();
            double two_writes = bare_appends(log, size, total, true);
            settle();
            double one_writev = bare_appends(log, size, total, false);
            settle();
            const std::uint64_t before = test::size_of(log);
            double rate = 0;
            {
                bench::producers senders(daemon->endpoint(), processes, size,
                                         total / static_cast<std::size_t>(processes));
                rate =
                    fill_rate(log, before, before + total * (size + 1), total, daemon->running());
            }
            const double peak = test::peak_mib(daemon->running().pid());
            settle();
            const latencies latency = measure_latency(*daemon, processes, size, rate / 2, 5.0);
            const latencies behind = measure_latency(*daemon, processes, size, rate / 2, 5.0, 10);
            settle();
            two_writes = (two_writes + bare_appends(log, size, total, true)) / 2;
            settle();
            one_writev = (one_writev + bare_appends(log, size, total, false)) / 2;
            std::printf(
                "%-6zu %-4d %11.0f %8.1f %9.3f %9.3f %8.1f %9.1f %9.1f %9.1f %13.1f %13.1f\n", size,
                processes, rate, rate * static_cast<double>(size + 1) / 1e6, rate / two_writes,
                rate / one_writev, peak, latency.p50, latency.p99, latency.p999, behind.p99,
                behind.p999);
            std::fflush(stdout);
            // The next case starts on a machine without the gigabytes this one wrote.
            daemon->stop(SIGTERM);
        }
    }
}

}  // namespace e2e
