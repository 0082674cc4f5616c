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
#include <vector>

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
        boost::asio::post(io_context, queued_task<Task>{this, std::move(task)});
    }

private:
    // Memory for queued tasks. Each is allocated on the submitting thread and freed on the
    // worker, a pattern that defeats malloc's per-thread caches: here the worker hands freed
    // blocks back to the submitters in batches instead.
    class task_memory {
    public:
        task_memory();
        ~task_memory();
        task_memory(const task_memory&) = delete;
        task_memory& operator=(const task_memory&) = delete;
        void* allocate(std::size_t size);
        // Called on the worker thread only (or after it has ended).
        void deallocate(void* block, std::size_t size) noexcept;

    private:
        static constexpr std::size_t block_size = 256;
        static constexpr std::size_t batch = 64;
        std::mutex taking;
        std::vector<void*> ready;  // guarded by `taking`
        std::mutex handing_back;
        std::vector<void*> returned;  // guarded by `handing_back`
        std::vector<void*> freed;     // the worker's own
    };

    template <typename T>
    struct task_allocator {
        using value_type = T;
        task_memory* memory;
        template <typename U>
        explicit(false) task_allocator(const task_allocator<U>& other) noexcept
            : memory(other.memory) {}
        explicit task_allocator(task_memory* source) noexcept : memory(source) {}
        T* allocate(std::size_t count) {
            return static_cast<T*>(memory->allocate(count * sizeof(T)));
        }
        void deallocate(T* block, std::size_t count) noexcept {
            memory->deallocate(block, count * sizeof(T));
        }
        template <typename U>
        bool operator==(const task_allocator<U>& other) const noexcept {
            return memory == other.memory;
        }
    };

    // What is queued: the task, run with its failures logged, never thrown.
    template <typename Task>
    struct queued_task {
        asio_task_executor* owner;
        Task task;
        using allocator_type = task_allocator<void>;
        allocator_type get_allocator() const noexcept { return allocator_type(&owner->memory); }
        void operator()() {
            owner->leave_queue();
            try {
                task();
            } catch (const std::exception& error) {
                report_failure(error.what());
            } catch (...) {
                report_failure(nullptr);
            }
        }
    };

    void wait_for_room();
    void leave_queue();
    void work();
    void stop_accepting();
    static void report_failure(const char* what);

    const std::size_t capacity;
    const std::size_t resume_level;
    // Outlives the context, whose destruction frees the tasks still queued.
    task_memory memory;
    boost::asio::io_context io_context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_guard;
    std::atomic<std::size_t> waiting{0};
    std::atomic<int> blocked_submitters{0};
    std::mutex room_mutex;
    std::condition_variable room;
    std::atomic<bool> running{true};
    std::jthread worker;
};
