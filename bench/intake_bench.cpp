// Throughput of the intake (ZeroMQ queue, message service, task executor) into a consumer that
// only counts, against a bare ZeroMQ PULL receive loop in the same run, with producer
// processes; then a flood into a consumer that writes a file, to show the memory bound.
#include <spdlog/spdlog.h>
#include <sys/uio.h>
#include <sys/wait.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <thread>

#include "executor/asio_task_executor.hpp"
#include "messaging/message_service.hpp"
#include "messaging/zmq_message_queue.hpp"
#include "producers.hpp"
#include "support/harness.hpp"

namespace {

using service_type = message_service<zmq_message_queue, asio_task_executor>;

struct counting_consumer {
    std::atomic<std::uint64_t> records{0};
    std::uint64_t bytes = 0;
    void consume(std::span<const std::string_view> batch, bool /*more_waiting*/) {
        for (const auto message : batch) bytes += message.size();
        records.fetch_add(batch.size(), std::memory_order_release);
    }
};

struct file_consumer {
    int fd;
    std::atomic<std::uint64_t> records{0};
    void consume(std::span<const std::string_view> batch, bool /*more_waiting*/) {
        char newline = '\n';
        for (const auto message : batch) {
            std::array<iovec, 2> parts{
                {{const_cast<char*>(message.data()), message.size()}, {&newline, 1}}};
            if (::writev(fd, parts.data(), 2) < 0) {
                std::perror("writev");
            }
        }
        records.fetch_add(batch.size(), std::memory_order_release);
    }
};

struct result {
    double rate;
    double peak_mib;
};

// Waits until `done` reaches `total`, timing from the first record to the last; a case that
// stalls for minutes has failed.
void wait_for(const std::function<bool()>& done) {
    using namespace std::literals;
    if (!test::eventually(done, 5min, 200us)) throw std::runtime_error("records went missing");
}

template <typename Counter>
double time_until(const Counter& done, std::uint64_t total) {
    wait_for([&] { return done() > 0; });
    const auto start = std::chrono::steady_clock::now();
    wait_for([&] { return done() >= total; });
    return static_cast<double>(total) / test::seconds_since(start);
}

result bare(const std::string& endpoint, int processes, std::size_t size, std::size_t each) {
    bench::producers senders(endpoint, processes, size, each);
    zmq::context_t context;
    zmq::socket_t socket(context, zmq::socket_type::pull);
    socket.set(zmq::sockopt::rcvtimeo, 60000);
    socket.bind(endpoint);
    const std::uint64_t total = static_cast<std::uint64_t>(processes) * each;
    zmq::message_t message;
    auto receive = [&] {
        if (!socket.recv(message)) throw std::runtime_error("records went missing");
    };
    receive();
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 1; i < total; ++i) receive();
    return {static_cast<double>(total - 1) / test::seconds_since(start), test::peak_mib()};
}

result intake(const std::string& endpoint, int processes, std::size_t size, std::size_t each) {
    bench::producers senders(endpoint, processes, size, each);
    counting_consumer counter;
    service_type service(std::make_unique<zmq_message_queue>(endpoint),
                         std::make_unique<asio_task_executor>());
    service.add_consumer(&counter);
    const std::uint64_t total = static_cast<std::uint64_t>(processes) * each;
    const double rate =
        time_until([&] { return counter.records.load(std::memory_order_acquire); }, total);
    return {rate, test::peak_mib()};
}

result flood(const std::string& endpoint, const std::filesystem::path& file, int processes,
             std::size_t size, double seconds) {
    bench::producers senders(endpoint, processes, size, 0, seconds);
    file_consumer writer{::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)};
    service_type service(std::make_unique<zmq_message_queue>(endpoint),
                         std::make_unique<asio_task_executor>());
    service.add_consumer(&writer);
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t total = senders.sent();
    wait_for([&] { return writer.records.load(std::memory_order_acquire) >= total; });
    const double rate = static_cast<double>(total) / test::seconds_since(start);
    ::close(writer.fd);
    return {rate, test::peak_mib()};
}

// Runs one case in a child process of its own, so that its peak memory is its own.
template <typename Case>
result isolated(Case run) {
    std::array<int, 2> channel{};
    std::fflush(stdout);
    if (::pipe(channel.data()) != 0) {
        std::exit(1);
    }
    pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        result outcome = run();
        if (::write(channel[1], &outcome, sizeof outcome) != sizeof outcome) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    ::close(channel[1]);
    result outcome{0, 0};
    if (::read(channel[0], &outcome, sizeof outcome) != sizeof outcome) {
        std::fprintf(stderr, "a benchmark case failed\n");
    }
    ::close(channel[0]);
    ::waitpid(child, nullptr, 0);
    return outcome;
}

int run(int argc, char** argv) {
    const double flood_seconds = argc > 1 ? std::stod(argv[1]) : 20;
    spdlog::set_level(spdlog::level::critical);
    const test::temp_dir dir;
    const std::string endpoint = "ipc://" + (dir / "bench.sock").string();
    if (argc > 3) {
        // One intake case in this process, for a profiler: intake_bench 0 SIZE PRODUCERS
        const auto size = std::stoul(argv[2]);
        const int processes = std::stoi(argv[3]);
        result one =
            intake(endpoint, processes, size, 2000000 / static_cast<std::size_t>(processes));
        std::printf("intake %zu B, %d producers: %.0f rec/s\n", size, processes, one.rate);
        return 0;
    }

    std::printf("%-7s %-9s %14s %14s %7s %10s\n", "record", "producers", "intake rec/s",
                "bare rec/s", "ratio", "peak MiB");
    for (std::size_t size : {64U, 512U, 4096U}) {
        for (int processes : {1, 4}) {
            const std::size_t each = (size == 4096 ? 400000 : 2000000) / processes;
            result with_bare = isolated([&] { return bare(endpoint, processes, size, each); });
            result with_intake = isolated([&] { return intake(endpoint, processes, size, each); });
            std::printf("%-7zu %-9d %14.0f %14.0f %7.3f %10.1f\n", size, processes,
                        with_intake.rate, with_bare.rate, with_intake.rate / with_bare.rate,
                        with_intake.peak_mib);
            std::fflush(stdout);
        }
    }
    result flooded =
        isolated([&] { return flood(endpoint, dir / "flood.log", 4, 64, flood_seconds); });
    std::printf(
        "flood: 4 producers, 64 B records for %.0f s into a file: %.0f rec/s written, "
        "peak %.1f MiB\n",
        flood_seconds, flooded.rate, flooded.peak_mib);
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "intake_bench: %s\n", error.what());
        return 1;
    }
}
