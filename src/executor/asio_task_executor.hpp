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
// Waiting tasks are bounded by their number and by the bytes their submitters say they hold:
// past either bound `submit` waits until both are a quarter below it again, which keeps memory
// bounded when producers outrun the tasks without waking the submitter for every task. A task
// larger than the whole byte budget still goes in once the queue has drained to that level.
// Destruction runs every task already queued before the worker ends.
class asio_task_executor {
public:
    static constexpr std::size_t default_capacity = 8192;
    static constexpr std::size_t default_byte_budget = std::size_t{32} << 20;

    explicit asio_task_executor(std::size_t max_waiting = default_capacity,
                                std::size_t max_waiting_bytes = default_byte_budget);
    ~asio_task_executor();
    asio_task_executor(const asio_task_executor&) = delete;
    asio_task_executor& operator=(const asio_task_executor&) = delete;

    bool is_running() const { return running.load(std::memory_order_relaxed); }
    // True while tasks wait behind the one running: a task can tell it is the last for now.
    bool has_waiting() const { return waiting.load() > 0; }

    // Queues the task, which holds `bytes` of data, and returns without running it, waiting
    // first while the executor is full. Throws std::runtime_error once the executor has
    // stopped, also while waiting.
    template <typename Task>
    void submit(Task task, std::size_t bytes = 0) {
        wait_for_room(bytes);
        boost::asio::post(io_context, queued_task<Task>{this, bytes, std::move(task)});
    }

private:
    // What is queued: the task, run with its failures logged, never thrown.
    template <typename Task>
    struct queued_task {
        asio_task_executor* owner;
        std::size_t bytes;
        Task task;
        void operator()() {
            owner->leave_queue(bytes);
            try {
                task();
            } catch (const std::exception& error) {
                report_failure(error.what());
            } catch (...) {
                report_failure(nullptr);
            }
        }
    };

    bool full() const;
    bool below_resume_level() const;
    void wait_for_room(std::size_t bytes);
    void leave_queue(std::size_t bytes);
    void work();
    void stop_accepting();
    static void report_failure(const char* what);

    const std::size_t capacity;
    const std::size_t byte_budget;
    boost::asio::io_context io_context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_guard;
    std::atomic<std::size_t> waiting{0};
    std::atomic<std::size_t> waiting_bytes{0};
    std::atomic<int> blocked_submitters{0};
    std::mutex room_mutex;
    std::condition_variable room;
    std::atomic<bool> running{true};
    std::jthread worker;
};
