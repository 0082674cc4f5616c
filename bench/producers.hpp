#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>
#include <zmq.hpp>

namespace bench {

// Producer processes that push records to an endpoint as fast as blocking sends allow, for a
// count or for a time, report how many they sent, and stay connected until released, so that
// nothing they sent is lost with their connection.
class producers {
public:
    // Each producer sends `count` records (or, with count 0, as many as it can for `seconds`).
    producers(const std::string& endpoint, int processes, std::size_t record_size,
              std::size_t count, double seconds = 0) {
        int go[2];
        if (::pipe(go) != 0 || ::pipe(report) != 0) {
            std::exit(1);
        }
        for (int p = 0; p < processes; ++p) {
            pid_t child = ::fork();
            if (child == 0) {
                ::close(go[1]);
                ::close(report[0]);
                run(endpoint, record_size, count, seconds, go[0], report[1]);
                ::_exit(0);
            }
            children.push_back(child);
        }
        ::close(go[0]);
        ::close(report[1]);
        release_fd = go[1];
    }

    // Waits until every producer has sent all it will send; returns the total.
    std::uint64_t sent() {
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < children.size(); ++i) {
            std::uint64_t one = 0;
            if (::read(report[0], &one, sizeof one) != sizeof one) {
                break;
            }
            total += one;
        }
        return total;
    }

    ~producers() {
        ::close(release_fd);
        for (pid_t child : children) {
            ::waitpid(child, nullptr, 0);
        }
        ::close(report[0]);
    }

private:
    static void run(const std::string& endpoint, std::size_t record_size, std::size_t count,
                    double seconds, int release, int report_fd) {
        zmq::context_t context;
        zmq::socket_t socket(context, zmq::socket_type::push);
        socket.set(zmq::sockopt::linger, -1);
        socket.connect(endpoint);
        std::string record(record_size, 'p');
        std::uint64_t sent = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (count != 0 ? sent < count : std::chrono::steady_clock::now() < end) {
            for (int burst = 0; burst < 64 && (count == 0 || sent < count); ++burst) {
                socket.send(zmq::buffer(record), zmq::send_flags::none);
                ++sent;
            }
        }
        if (::write(report_fd, &sent, sizeof sent) != sizeof sent) {
            ::_exit(1);
        }
        char ignored;
        while (::read(release, &ignored, 1) > 0) {
        }
    }

    std::vector<pid_t> children;
    int report[2]{-1, -1};
    int release_fd = -1;
};

}  // namespace bench
