// Allocations per batch on the record path: the ZeroMQ queue, the message service, the task
// executor and the file consumer, in this process, fed by a producer process in bursts that
// each arrive as one batch (the parts of one ZeroMQ message: the queue takes each as a record).
// Every call of the malloc family in this process is counted, ZeroMQ's own and operator new's
// included; the producer runs in a process of its own.
#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>
#include <zmq.hpp>

#include "executor/asio_task_executor.hpp"
#include "messaging/message_service.hpp"
#include "messaging/zmq_message_queue.hpp"
#include "output/file_message_consumer.hpp"
#include "support/harness.hpp"

// The C library's own entry points, under the names it exports for those who replace malloc.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* memory, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)

namespace {

std::atomic<std::uint64_t> allocations{0};
std::atomic<std::uint64_t> cxx_allocations{0};

void* counted_new(std::size_t size) {
    cxx_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

}  // namespace

extern "C" {
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
void* malloc(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void* realloc(void* memory, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(memory, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, size);
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
}

void* operator new(std::size_t size) { return counted_new(size); }
void* operator new[](std::size_t size) { return counted_new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t /*size*/) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t /*size*/) noexcept { std::free(memory); }

namespace {

// The real executor, telling how many tasks (batches) it was given.
class counted_executor : public asio_task_executor {
public:
    template <typename Task>
    void submit(Task task, std::size_t bytes = 0) {
        tasks.fetch_add(1, std::memory_order_relaxed);
        asio_task_executor::submit(std::move(task), bytes);
    }
    std::atomic<std::uint64_t> tasks{0};
};

using service_type = message_service<zmq_message_queue, counted_executor>;

// Sends `bursts` bursts of `per_burst` records, each when the parent writes a byte to `go`.
[[noreturn]] void producer(const std::string& endpoint, std::size_t size, std::size_t per_burst,
                           int go) {
    zmq::context_t context;
    zmq::socket_t socket(context, zmq::socket_type::push);
    socket.connect(endpoint);
    const std::string record(size, 'p');
    char byte = 0;
    while (::read(go, &byte, 1) == 1) {
        // The parts of one message arrive together, so that the burst is one batch.
        for (std::size_t i = 0; i < per_burst; ++i) {
            socket.send(zmq::buffer(record),
                        i + 1 < per_burst ? zmq::send_flags::sndmore : zmq::send_flags::none);
        }
    }
    socket.set(zmq::sockopt::linger, 10000);
    socket.close();
    context.close();
    ::_exit(0);
}

struct figures {
    double records_per_batch;
    double allocations_per_batch;
    double cxx_per_batch;
};

figures measure(std::size_t size, std::size_t per_burst, const log_options& options) {
    const test::temp_dir dir;
    const std::string endpoint = "ipc://" + (dir / "in.sock").string();
    file_message_consumer consumer(dir / "events.log", options);
    auto executor = std::make_unique<counted_executor>();
    counted_executor& runner = *executor;
    service_type service(std::make_unique<zmq_message_queue>(endpoint), std::move(executor));
    service.add_consumer(&consumer);
    std::array<int, 2> go{};
    if (::pipe2(go.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(go[1]);
        producer(endpoint, size, per_burst, go[0]);
    }
    ::close(go[0]);
    constexpr int warm_up = 200;
    constexpr int measured = 2000;
    std::uint64_t expected = 0;
    std::uint64_t start_allocations = 0;
    std::uint64_t start_cxx = 0;
    std::uint64_t start_tasks = 0;
    for (int burst = 0; burst < warm_up + measured; ++burst) {
        if (burst == warm_up) {
            start_allocations = allocations.load();
            start_cxx = cxx_allocations.load();
            start_tasks = runner.tasks.load();
        }
        const char byte = 1;
        if (::write(go[1], &byte, 1) != 1) {
            throw std::runtime_error("producer gone");
        }
        expected += per_burst;
        // Each burst is written before the next is sent, so that it is one batch.
        if (!test::eventually([&] { return consumer.records_written() >= expected; },
                              std::chrono::seconds(30), std::chrono::microseconds(20))) {
            throw std::runtime_error("a burst was not written within 30 s");
        }
    }
    const auto batches = static_cast<double>(runner.tasks.load() - start_tasks);
    const figures result{static_cast<double>(measured) * static_cast<double>(per_burst) / batches,
                         static_cast<double>(allocations.load() - start_allocations) / batches,
                         static_cast<double>(cxx_allocations.load() - start_cxx) / batches};
    ::close(go[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return result;
}

}  // namespace

int main(int argc, char* argv[]) {
    spdlog::set_level(spdlog::level::warn);
    const int rounds = argc > 1 ? std::stoi(argv[1]) : 5;
    std::printf("%-22s %10s %12s %12s\n", "records", "rec/batch", "allocs/batch", "new/batch");
    struct row {
        const char* name;
        std::size_t size;
        std::size_t per_burst;
        bool sealed;
    };
    for (const row& each :
         {row{"64 x 64 B", 64, 64, false}, row{"64 x 64 B, lengths", 64, 64, true},
          row{"64 x 512 B", 512, 64, false}, row{"1 x 64 B", 64, 1, false}}) {
        std::vector<figures> runs;
        runs.reserve(static_cast<std::size_t>(rounds));
        for (int round = 0; round < rounds; ++round) {
            runs.push_back(measure(each.size, each.per_burst, {.record_lengths = each.sealed}));
        }
        const auto median = [&](double figures::*field) {
            std::vector<double> values;
            values.reserve(runs.size());
            for (const figures& run : runs) values.push_back(run.*field);
            std::sort(values.begin(), values.end());
            return values[values.size() / 2];
        };
        std::printf("%-22s %10.1f %12.1f %12.1f\n", each.name, median(&figures::records_per_batch),
                    median(&figures::allocations_per_batch), median(&figures::cxx_per_batch));
    }
    std::printf("(median of %d rounds of 2,000 bursts)\n", rounds);
    return 0;
}
