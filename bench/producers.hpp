#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>
#include <zmq.hpp>

#include "io/unique_fd.hpp"
#include "support/harness.hpp"

namespace bench {

using namespace std::literals;

// Producer processes that push records to an endpoint as fast as blocking sends allow, for a
// count or for a time, report how many they sent, and stay connected until released, so that
// nothing they sent is lost with their connection. A send that waits a minute ends its
// producer, so that a daemon that died leaves none of them hanging.
class producers {
public:
    // Each producer sends `count` records (or, with count 0, as many as it can for `seconds`).
    producers(const std::string& endpoint, int processes, std::size_t record_size,
              std::size_t count, double seconds = 0) {
        std::array<int, 2> go{};
        std::array<int, 2> back{};
        if (::pipe2(go.data(), O_CLOEXEC) != 0 || ::pipe2(back.data(), O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe");
        }
        const io::unique_fd released(go[0]);
        const io::unique_fd reporter(back[1]);
        release.reset(go[1]);
        report.reset(back[0]);
        for (int p = 0; p < processes; ++p) {
            const pid_t child = ::fork();
            if (child == 0) {
                release.reset();
                report.reset();
                run(endpoint, record_size, count, seconds, released.get(), reporter.get());
            }
            children.push_back(child);
        }
    }
    producers(const producers&) = delete;
    producers& operator=(const producers&) = delete;

    // Waits until every producer has sent all it will send; returns the total.
    std::uint64_t sent(std::chrono::milliseconds timeout = 5min) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < children.size(); ++i) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd ready{report.get(), POLLIN, 0};
            std::uint64_t one = 0;
            if (::poll(&ready, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) != 1 ||
                ::read(report.get(), &one, sizeof one) != sizeof one) {
                throw std::runtime_error("a producer did not report what it sent");
            }
            total += one;
        }
        return total;
    }

    ~producers() {
        release.reset();
        test::eventually([&] { return std::ranges::all_of(children, reaped); }, 10s, 1ms);
        for (const pid_t child : children) {
            if (child > 0) {
                ::kill(child, SIGKILL);
                ::waitpid(child, nullptr, 0);
            }
        }
    }

private:
    static bool reaped(pid_t& child) {
        if (child > 0 && ::waitpid(child, nullptr, WNOHANG) == child) child = -1;
        return child < 0;
    }

    [[noreturn]] static void run(const std::string& endpoint, std::size_t record_size,
                                 std::size_t count, double seconds, int release, int report) {
        zmq::context_t context;
        zmq::socket_t socket(context, zmq::socket_type::push);
        socket.set(zmq::sockopt::sndtimeo, 60000);
        socket.connect(endpoint);
        const std::string record(record_size, 'p');
        std::uint64_t sent = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (bool going = true;
             going && (count != 0 ? sent < count : std::chrono::steady_clock::now() < end);) {
            for (int burst = 0; going && burst < 64 && (count == 0 || sent < count); ++burst) {
                going = socket.send(zmq::buffer(record), zmq::send_flags::none).has_value();
                sent += going ? 1 : 0;
            }
        }
        if (::write(report, &sent, sizeof sent) != sizeof sent) ::_exit(1);
        char ignored = 0;
        while (::read(release, &ignored, 1) > 0) {
        }
        // Gone without closing the socket: what has not left by now is not waited for.
        ::_exit(0);
    }

    std::vector<pid_t> children;
    io::unique_fd release;
    io::unique_fd report;
};

}  // namespace bench
