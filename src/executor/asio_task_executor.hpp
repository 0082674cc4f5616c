#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

// Runs submitted tasks one at a time, in submission order, on a worker thread of its own.
// At most `capacity` tasks wait at once: a full executor makes `submit` wait until a quarter
// of it is free again, which keeps memory bounded when producers outrun the tasks without
// waking the submitter for every task. Destruction runs every task already queued before the
// worker ends.
class asio_task_executor {
public:
    static constexpr std::size_t default_capacity = 8192;

    explicit asio_task_executor(std::size_t max_waiting = default_capacity);
    ~asio_task_executor();
    asio_task_executor(const asio_task_executor&) = delete;
    asio_task_executor& operator=(const asio_task_executor&) = delete;

    bool is_running() const { return running.load(std::memory_order_relaxed); }

    // Queues the task and returns without running it, waiting first while the executor is
    // full. Throws std::runtime_error once the executor has stopped, also while waiting.
    template <typename Task>
    void submit(Task task) {
        wait_for_room();
        boost::asio::post(io_context, [this, task = std::move(task)]() mutable {
            leave_queue();
            try {
                task();
            } catch (const std::exception& error) {
                report_failure(error.what());
            } catch (...) {
                report_failure(nullptr);
            }
        });
    }

private:
    void wait_for_room();
    void leave_queue();
    void work();
    void stop_accepting();
    static void report_failure(const char* what);

    const std::size_t capacity;
    const std::size_t resume_level;
    boost::asio::io_context io_context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_guard;
    std::atomic<std::size_t> waiting{0};
    std::atomic<int> blocked_submitters{0};
    std::mutex room_mutex;
    std::condition_variable room;
    std::atomic<bool> running{true};
    std::jthread worker;
};
