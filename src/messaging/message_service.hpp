#pragma once

#include <spdlog/spdlog.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "messaging/message_batch.hpp"

// Owns the message queue and the task executor, and runs the receive thread. Each pass takes
// what the queue holds (one record, or as many as were waiting) and hands it to the executor
// as one task, which gives the whole batch to each registered consumer in registration order.
// Until the first consumer registers, nothing is taken off the queue, so no message is lost
// for want of a consumer.
template <typename Queue, typename Executor>
class message_service {
public:
    // Called with each batch of records in arrival order, and whether more records wait behind
    // it in the executor: a consumer that gathers records decides from that when they go out.
    using consumer =
        std::function<void(std::span<const std::string_view> records, bool more_waiting)>;

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
            auto next = std::make_shared<std::vector<consumer>>(
                consumers ? *consumers : std::vector<consumer>{});
            next->emplace_back(
                [target](std::span<const std::string_view> records, bool more_waiting) {
                    target->consume(records, more_waiting);
                });
            consumers = std::move(next);
            registered_count.store(consumers->size(), std::memory_order_release);
        }
        registered.notify_all();
    }

private:
    using consumer_list = std::shared_ptr<const std::vector<consumer>>;

    void receive_loop() {
        consumer_list active;
        // A batch is sized for what the one before it held: a steady stream of records fills
        // each with two allocations.
        std::size_t expected_records = 1;
        std::size_t expected_bytes = 0;
        while (running.load()) {
            if (!active && !(active = wait_for_consumer())) {
                break;
            }
            try {
                message_batch batch(expected_records, expected_bytes);
                queue->receive_batch(batch);
                if (batch.empty()) {
                    continue;
                }
                expected_records = batch.size();
                expected_bytes = batch.byte_size();
                // Checked after the receive, so a consumer registered while it blocked gets
                // these records; the list only grows, so the lock is taken only when it did.
                if (registered_count.load(std::memory_order_acquire) != active->size()) {
                    std::lock_guard lock(mutex);
                    active = consumers;
                }
                const std::size_t bytes = batch.footprint();
                executor->submit([targets = active, records = std::move(batch),
                                  runner = executor.get()] { deliver(*targets, records, *runner); },
                                 bytes);
            } catch (const std::exception& error) {
                spdlog::error("Processing error: {}", error.what());
            } catch (...) {
                spdlog::error("Processing error: unknown");
            }
        }
    }

    // Blocks until a consumer is registered (the list) or the service stops (null).
    consumer_list wait_for_consumer() {
        std::unique_lock lock(mutex);
        registered.wait(lock, [this] { return consumers || !running.load(); });
        return running.load() ? consumers : nullptr;
    }

    // Runs on the executor's thread. A consumer that throws loses only that batch.
    static void deliver(const std::vector<consumer>& targets, const message_batch& records,
                        const Executor& runner) {
        for (const auto& target : targets) {
            try {
                target(records.records(), runner.has_waiting());
            } catch (const std::exception& error) {
                spdlog::error("Task execution failed: {}", error.what());
            } catch (...) {
                spdlog::error("Task execution failed: unknown error");
            }
        }
    }

    std::unique_ptr<Queue> queue;
    std::unique_ptr<Executor> executor;
    consumer_list consumers;  // guarded by mutex; replaced whole, never changed in place
    std::mutex mutex;
    std::condition_variable registered;
    std::atomic<std::size_t> registered_count{0};
    std::atomic<bool> running{true};
    std::jthread worker;
};
