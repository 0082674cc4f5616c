#pragma once

#include <spdlog/spdlog.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Owns the message queue and the task executor, and runs the receive thread that hands every
// received message to each registered consumer as one executor task, in registration order.
// Until the first consumer registers, nothing is taken off the queue, so no message is lost
// for want of a consumer.
template <typename Queue, typename Executor>
class message_service {
public:
    using consumer = std::function<void(const std::string&)>;

    message_service(std::unique_ptr<Queue> message_queue, std::unique_ptr<Executor> task_executor)
        : queue(std::move(message_queue)), executor(std::move(task_executor)) {
        if (!queue) {
            throw std::invalid_argument("Message queue is null");
        }
        if (!executor) {
            throw std::invalid_argument("Task executor is null");
        }
        if (!executor->is_running()) {
            throw std::runtime_error("Task executor is not running");
        }
        worker = std::jthread([this] { receive_loop(); });
        spdlog::info("Started");
    }

    ~message_service() {
        {
            std::lock_guard lock(mutex);
            running.store(false);
        }
        registered.notify_all();
        queue->shutdown();
        spdlog::info("Stopped");
        if (worker.joinable()) {
            worker.join();
        }
    }

    message_service(const message_service&) = delete;
    message_service& operator=(const message_service&) = delete;

    // The consumer is not owned: it must outlive the service.
    template <typename Consumer>
    void add_consumer(Consumer* target) {
        {
            std::lock_guard lock(mutex);
            consumers.emplace_back(
                [target](const std::string& message) { target->consume(message); });
            registered_count.store(consumers.size(), std::memory_order_release);
        }
        registered.notify_all();
    }

private:
    static std::vector<std::string> reserved(std::size_t count) {
        std::vector<std::string> strings;
        strings.reserve(count);
        return strings;
    }

    void receive_loop() {
        std::vector<consumer> active;
        while (running.load()) {
            if (active.empty() && !wait_for_consumer()) {
                break;
            }
            try {
                auto message = queue->receive(true);
                if (!message) {
                    continue;
                }
                // Checked after the receive, so a consumer registered while it blocked gets
                // this message; the list only grows, so the lock is taken only when it did.
                if (registered_count.load(std::memory_order_acquire) != active.size()) {
                    std::lock_guard lock(mutex);
                    active = consumers;
                }
                dispatch(active, std::move(*message));
                if (++dispatched % spent_batch == 0) {
                    free_spent_messages();
                }
            } catch (const std::exception& error) {
                spdlog::error("Processing error: {}", error.what());
            } catch (...) {
                spdlog::error("Processing error: unknown");
            }
        }
    }

    // Blocks until a consumer is registered (true) or the service stops (false).
    bool wait_for_consumer() {
        std::unique_lock lock(mutex);
        registered.wait(lock, [this] { return !consumers.empty() || !running.load(); });
        return running.load();
    }

    void dispatch(const std::vector<consumer>& targets, std::string message) {
        const std::size_t last = targets.size() - 1;
        for (std::size_t i = 0; i < last; ++i) {
            executor->submit([target = targets[i], copy = message] { target(copy); });
        }
        executor->submit([this, target = targets[last], copy = std::move(message)]() mutable {
            target(copy);
            hand_back(std::move(copy));
        });
    }

    // Each message copy is allocated on the receive thread and, once consumed, would be freed
    // on the executor's thread: that defeats malloc's per-thread caches and makes both threads
    // take the same arena lock for every record. Small copies are handed back instead and
    // freed here in batches. The list never grows past its reserved size, so handing back
    // cannot fail, and what it keeps while the service is idle stays small.
    void hand_back(std::string&& copy) {
        if (copy.capacity() > spent_size_limit) {
            return;
        }
        std::lock_guard lock(spent_mutex);
        if (spent.size() < spent.capacity()) {
            spent.push_back(std::move(copy));
        }
    }

    void free_spent_messages() {
        {
            std::lock_guard lock(spent_mutex);
            spent.swap(spent_here);
        }
        spent_here.clear();
    }

    static constexpr std::size_t spent_batch = 64;
    static constexpr std::size_t spent_count_limit = 1024;
    static constexpr std::size_t spent_size_limit = 4096;
    // Declared before the executor, whose destruction still runs tasks that hand back.
    std::mutex spent_mutex;
    std::vector<std::string> spent = reserved(spent_count_limit);       // guarded by spent_mutex
    std::vector<std::string> spent_here = reserved(spent_count_limit);  // the receive thread's
    std::size_t dispatched = 0;

    std::unique_ptr<Queue> queue;
    std::unique_ptr<Executor> executor;
    std::vector<consumer> consumers;
    std::mutex mutex;
    std::condition_variable registered;
    std::atomic<std::size_t> registered_count{0};
    std::atomic<bool> running{true};
    std::jthread worker;
};
