#include "executor/asio_task_executor.hpp"

#include "support/support.hpp"

using namespace test;

TEST(asio_task_executor, runs_tasks_in_order_logs_failures_and_runs_the_queue_at_destruction) {
    auto log = capture_log();
    std::vector<int> seen;  // written by the worker only
    std::promise<void> entered, open, done, release;
    auto executor = std::make_unique<asio_task_executor>();
    executor->submit([&] {
        open.get_future().wait();
        // Queued behind the tasks already waiting, never run inline.
        executor->submit([&] {
            seen.push_back(3);
            done.set_value();
        });
        seen.push_back(1);
    });
    executor->submit([] { throw std::runtime_error("disk on fire"); });
    executor->submit([] { throw 42; });
    executor->submit([&] { seen.push_back(2); });
    open.set_value();
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    // Destruction waits for the task in progress, then runs those still queued.
    executor->submit([&] {
        entered.set_value();
        release.get_future().wait();
    });
    auto owned = std::make_shared<int>(4);
    executor->submit([&seen, owned] { seen.push_back(*owned); });
    entered.get_future().wait();
    auto destroyed = std::async(std::launch::async, [&] { executor.reset(); });
    EXPECT_EQ(destroyed.wait_for(100ms), std::future_status::timeout);
    release.set_value();
    ASSERT_EQ(destroyed.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(owned.use_count(), 1);
    ASSERT_EQ(log->last_raw().size(), 2U);
    EXPECT_EQ(log->last_raw()[0].payload, "Task execution failed: disk on fire");
    EXPECT_EQ(log->last_raw()[1].payload, "Task execution failed: unknown error");
}

TEST(asio_task_executor, a_full_executor_makes_submit_wait_for_room_or_for_the_stop) {
    // Full by count (two tasks) it is stopped; full by bytes (100) it makes room.
    for (const bool by_bytes : {false, true}) {
        std::promise<void> entered, open;
        auto shared_open = open.get_future().share();
        auto executor = std::make_unique<asio_task_executor>(by_bytes ? 100 : 2, 1000);
        asio_task_executor* raw = executor.get();
        executor->submit([&] {
            entered.set_value();
            shared_open.wait();
        });
        entered.get_future().wait();
        // A task larger than the whole byte budget still goes in alone.
        executor->submit([] {}, by_bytes ? 5000 : 0);
        if (!by_bytes) executor->submit([] {});
        auto third = std::async(std::launch::async, [&] { raw->submit([] {}, 10); });
        EXPECT_EQ(third.wait_for(100ms), std::future_status::timeout);
        if (by_bytes) {
            open.set_value();
            ASSERT_EQ(third.wait_for(5s), std::future_status::ready);
            EXPECT_NO_THROW(third.get());
        } else {
            // Stopping wakes the waiting submitter with the exception.
            auto destroyed = std::async(std::launch::async, [&] { executor.reset(); });
            ASSERT_EQ(third.wait_for(5s), std::future_status::ready);
            EXPECT_THROW(third.get(), std::runtime_error);
            open.set_value();
        }
    }
}
