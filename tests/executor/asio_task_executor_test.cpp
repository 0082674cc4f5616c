#include "executor/asio_task_executor.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "support/log_capture.hpp"

using namespace std::chrono_literals;

namespace {

// Records the order in which tasks ran, from the worker thread.
class trace {
public:
    void add(int value) {
        std::lock_guard lock(mutex);
        values.push_back(value);
    }
    std::vector<int> get() {
        std::lock_guard lock(mutex);
        return values;
    }

private:
    std::mutex mutex;
    std::vector<int> values;
};

// A task that holds the worker until the test opens the gate.
struct gate {
    std::promise<void> opened;
    std::shared_future<void> wait = opened.get_future().share();
    std::promise<void> entered;
};

}  // namespace

TEST(asio_task_executor, runs_tasks_in_submission_order) {
    trace seen;
    {
        asio_task_executor executor;
        EXPECT_TRUE(executor.is_running());
        for (int i = 0; i < 1000; ++i) {
            executor.submit([&seen, i] { seen.add(i); });
        }
    }
    auto values = seen.get();
    ASSERT_EQ(values.size(), 1000U);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(values[static_cast<std::size_t>(i)], i);
    }
}

TEST(asio_task_executor, failing_tasks_are_logged_and_the_next_one_runs) {
    test::log_capture log;
    std::promise<void> last;
    {
        asio_task_executor executor;
        executor.submit([] { throw std::runtime_error("disk on fire"); });
        executor.submit([] { throw 42; });
        executor.submit([&last] { last.set_value(); });
        ASSERT_EQ(last.get_future().wait_for(5s), std::future_status::ready);
    }
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"error: Task execution failed: disk on fire",
                                        "error: Task execution failed: unknown error"}));
}

TEST(asio_task_executor, task_submitted_from_a_task_runs_after_the_queued_ones) {
    trace seen;
    gate held;
    std::promise<void> done;
    asio_task_executor executor;
    executor.submit([&] {
        held.wait.wait();
        executor.submit([&] {
            seen.add(3);
            done.set_value();
        });
        seen.add(1);
    });
    executor.submit([&seen] { seen.add(2); });
    held.opened.set_value();
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(seen.get(), (std::vector<int>{1, 2, 3}));
}

TEST(asio_task_executor, destruction_finishes_the_running_task_then_runs_the_queued_ones) {
    trace seen;
    gate held;
    auto executor = std::make_unique<asio_task_executor>();
    executor->submit([&] {
        held.entered.set_value();
        held.wait.wait();
        seen.add(0);
    });
    auto owned = std::make_shared<int>(7);
    for (int i = 1; i <= 3; ++i) {
        executor->submit([&seen, i, owned] { seen.add(i * *owned); });
    }
    held.entered.get_future().wait();
    auto destroyed = std::async(std::launch::async, [&] { executor.reset(); });
    EXPECT_EQ(destroyed.wait_for(100ms), std::future_status::timeout);
    held.opened.set_value();
    ASSERT_EQ(destroyed.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(seen.get(), (std::vector<int>{0, 7, 14, 21}));
    EXPECT_EQ(owned.use_count(), 1);
}

TEST(asio_task_executor, destruction_right_after_construction_is_prompt) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) {
        asio_task_executor executor;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(asio_task_executor, full_executor_makes_submit_wait_for_room) {
    gate held;
    trace seen;
    asio_task_executor executor(2);
    executor.submit([&] {
        held.entered.set_value();
        held.wait.wait();
    });
    held.entered.get_future().wait();
    executor.submit([&seen] { seen.add(1); });
    executor.submit([&seen] { seen.add(2); });
    auto third = std::async(std::launch::async, [&] { executor.submit([&seen] { seen.add(3); }); });
    EXPECT_EQ(third.wait_for(100ms), std::future_status::timeout);
    held.opened.set_value();
    ASSERT_EQ(third.wait_for(5s), std::future_status::ready);
    third.get();
}

TEST(asio_task_executor, stop_wakes_a_waiting_submit_with_the_exception) {
    gate held;
    std::promise<void> refused;
    auto executor = std::make_unique<asio_task_executor>(1);
    executor->submit([&] {
        held.entered.set_value();
        held.wait.wait();
    });
    held.entered.get_future().wait();
    executor->submit([] {});
    asio_task_executor* shared = executor.get();
    auto waiting = std::async(std::launch::async, [&] {
        try {
            shared->submit([] {});
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "Cannot submit task: executor not running");
            refused.set_value();
        }
    });
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    auto destroyed = std::async(std::launch::async, [&] { executor.reset(); });
    ASSERT_EQ(refused.get_future().wait_for(5s), std::future_status::ready);
    waiting.get();
    held.opened.set_value();
    ASSERT_EQ(destroyed.wait_for(5s), std::future_status::ready);
}
