// Bursts and floods: a producer that exits at once while the daemon is behind, large records
// into a log whose every write waits for the disk, and a long flood of small records.
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <zmq.hpp>

#include "e2e/e2e.hpp"
#include "producers.hpp"

namespace e2e {
namespace {

// A producer that sends a burst and exits at once, with a bounded linger, while a flood keeps
// the daemon behind: how many of the burst reach the file.
std::uint64_t burst_then_exit(std::size_t burst) {
    auto daemon = start_daemon();
    bench::producers flood(daemon->endpoint(), 1, 64, 0, 6.0);
    std::this_thread::sleep_for(1s);
    forked bursting([&] {
        zmq::context_t context;
        zmq::socket_t socket(context, zmq::socket_type::push);
        socket.set(zmq::sockopt::linger, 5000);
        socket.set(zmq::sockopt::sndtimeo, 60000);
        socket.connect(daemon->endpoint());
        for (std::size_t i = 0; i < burst; ++i) {
            const std::string record = "burst " + std::to_string(i);
            if (!socket.send(zmq::buffer(record), zmq::send_flags::none)) return;
        }
    });
    if (!bursting.wait(2min)) throw std::runtime_error("the burst's producer did not finish");
    const std::uint64_t flooded = flood.sent();
    // The flood's producer is still connected, so all it sent arrives; wait for that, then
    // for the file to stop growing.
    std::uint64_t previous = 0;
    std::uint64_t burst_lines = 0;
    int unchanged = 0;
    wait_until(
        [&] {
            std::ifstream log(daemon->output());
            std::uint64_t count = 0;
            burst_lines = 0;
            for (std::string line; std::getline(log, line); ++count) {
                burst_lines += line.starts_with("burst ") ? 1 : 0;
            }
            unchanged = count == previous && count >= flooded ? unchanged + 1 : 0;
            previous = count;
            return unchanged >= 10;
        },
        daemon->running(), "the flood beside the burst did not reach the log", 2min, 100ms);
    daemon->stop(SIGTERM);
    return burst_lines;
}

// Producers flooding the daemon for a time; how many they sent and how many reached the file.
std::pair<std::uint64_t, std::uint64_t> flood(test::daemon& daemon, int processes, std::size_t size,
                                              double seconds) {
    bench::producers senders(daemon.endpoint(), processes, size, 0, seconds);
    const std::uint64_t sent = senders.sent();
    wait_until([&] { return test::size_of(daemon.output()) >= sent * (size + 1); },
               daemon.running(), "the flood did not reach the log", 5min, 20ms);
    std::this_thread::sleep_for(200ms);
    return {sent, test::size_of(daemon.output()) / (size + 1)};
}

}  // namespace

bool floods(double flood_seconds) {
    const std::uint64_t arrived = burst_then_exit(100000);
    std::printf(
        "burst: 100000 records sent by a producer that exits at once (linger 5 s) while "
        "a flood keeps the daemon behind: %" PRIu64 " in the file\n",
        arrived);
    std::fflush(stdout);

    // Large records into a log whose every write waits for the disk: the memory bounds.
    for (const auto& [size, processes] :
         {std::pair{std::size_t{1} << 20, 1}, std::pair{std::size_t{64} << 10, 4}}) {
        settle();
        test::daemon large;
        test::shell("mkdir -p " + large.output().parent_path().string() + " && touch " +
                    large.output().string() + " && chattr +S " + large.output().string());
        if (!large.start()) throw std::runtime_error("the daemon did not start");
        const auto [sent, written] = flood(large, processes, size, 12.0);
        std::printf("large records into a synchronous log: %d x %zu B for 12 s: %" PRIu64
                    " sent, %" PRIu64 " in the file, daemon peak %.1f MiB\n",
                    processes, size, sent, written, test::peak_mib(large.running().pid()));
        std::fflush(stdout);
        large.stop(SIGTERM);
    }

    settle();
    auto daemon = start_daemon();
    const auto [sent, written] = flood(*daemon, 4, 64, flood_seconds);
    std::printf("flood: 4 producers, 64 B, %.0f s: %" PRIu64 " sent, %" PRIu64
                " in the file, daemon peak %.1f MiB\n",
                flood_seconds, sent, written, test::peak_mib(daemon->running().pid()));
    return written == sent;
}

}  // namespace e2e
