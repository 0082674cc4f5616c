// Latency: from a record's sending to its appearance in the file, at a fixed rate.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>
#include <zmq.hpp>

#include "e2e/e2e.hpp"
#include "io/unique_fd.hpp"

namespace e2e {
namespace {

std::uint64_t monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000U +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// Sends records stamped with their send time at a fixed rate, for a time. It sleeps between
// short bursts rather than spinning, so it leaves the processors to the daemon.
void paced_producer(const std::string& endpoint, std::size_t size, double rate, double seconds) {
    zmq::context_t context;
    zmq::socket_t socket(context, zmq::socket_type::push);
    socket.set(zmq::sockopt::linger, 10000);
    socket.set(zmq::sockopt::sndtimeo, 10000);
    socket.connect(endpoint);
    std::this_thread::sleep_for(100ms);
    const double interval = 1e9 / rate;
    const std::uint64_t start = monotonic_ns();
    const std::uint64_t end = start + static_cast<std::uint64_t>(seconds * 1e9);
    std::string record(std::max<std::size_t>(size, 24), 'l');
    std::uint64_t sent = 0;
    for (std::uint64_t now = start; now < end; now = monotonic_ns()) {
        const auto due = static_cast<std::uint64_t>(static_cast<double>(now - start) / interval);
        for (; sent < due; ++sent) {
            std::snprintf(record.data(), 21, "%020" PRIu64, monotonic_ns());
            record[20] = ' ';
            if (!socket.send(zmq::buffer(record), zmq::send_flags::none)) return;
        }
        const timespec pause{0, 50000};
        ::nanosleep(&pause, nullptr);
    }
}

}  // namespace

// Follows the log from its current end and measures, for each stamped record, the time from
// its sending to its appearance in the file. It polls the file every 100 us instead of
// watching it with inotify: a watch makes every append of the daemon queue an event and wake
// this reader, which costs the daemon more than the record's own write. The polling adds at
// most one period to each figure, so the percentiles err high, never low. The producers run
// at `producer_nice`: on a machine this small they compete with the daemon for the same two
// processors, and a positive value shows the latency of a daemon that is ahead of its load.
latencies measure_latency(test::daemon& daemon, int processes, std::size_t size, double total_rate,
                          double seconds, int producer_nice) {
    // Records of an earlier measurement still on their way would count with stale stamps.
    std::uint64_t previous = test::size_of(daemon.output()) + 1;
    wait_until(
        [&] {
            const std::uint64_t now = test::size_of(daemon.output());
            return std::exchange(previous, now) == now;
        },
        daemon.running(), "the log did not stop growing", 2min, 50ms);
    const io::unique_fd log(::open(daemon.output().c_str(), O_RDONLY | O_CLOEXEC));
    ::lseek(log.get(), 0, SEEK_END);
    std::vector<std::unique_ptr<forked>> senders;
    senders.reserve(static_cast<std::size_t>(processes));
    for (int p = 0; p < processes; ++p) {
        senders.push_back(std::make_unique<forked>([&] {
            if (::setpriority(PRIO_PROCESS, 0, producer_nice) != 0) ::_exit(1);
            paced_producer(daemon.endpoint(), size, total_rate / processes, seconds);
        }));
    }
    ::prctl(PR_SET_TIMERSLACK, 1000UL);
    std::vector<std::uint64_t> samples;
    samples.reserve(static_cast<std::size_t>(total_rate * seconds) + 1);
    std::vector<char> buffer(1 << 20);
    std::size_t held = 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds + 3);
    const auto expected = static_cast<std::size_t>(total_rate * seconds * 0.98);
    while (samples.size() < expected && std::chrono::steady_clock::now() < deadline &&
           !daemon.running().exited()) {
        const ssize_t n = ::read(log.get(), buffer.data() + held, buffer.size() - held);
        const std::uint64_t now = monotonic_ns();
        if (n <= 0) {
            const timespec pause{0, 100000};
            ::nanosleep(&pause, nullptr);
            continue;
        }
        const char* const end = buffer.data() + held + n;
        const char* line = buffer.data();
        for (const char* newline = nullptr;
             (newline = static_cast<const char*>(std::memchr(line, '\n', end - line))) != nullptr;
             line = newline + 1) {
            std::uint64_t sent = 0;
            std::from_chars(line, line + 20, sent);
            samples.push_back(now - sent);
        }
        held = static_cast<std::size_t>(end - line);
        std::memmove(buffer.data(), line, held);
    }
    for (auto& sender : senders) sender->wait(daemon.running().exited() ? 0s : 30s);
    if (daemon.running().exited()) {
        throw std::runtime_error("the daemon exited:\n" + daemon.running().output());
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        if (samples.empty()) return 0.0;
        const auto index = static_cast<std::size_t>(q * static_cast<double>(samples.size()));
        return static_cast<double>(samples[std::min(samples.size() - 1, index)]) / 1000.0;
    };
    return {at(0.50), at(0.99), at(0.999)};
}

}  // namespace e2e
