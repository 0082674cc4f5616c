#include "messaging/message_service.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>

#include "executor/asio_task_executor.hpp"
#include "messaging/zmq_message_queue.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"
#include "support/zmq_producer.hpp"

using namespace std::chrono_literals;

namespace {

using service = message_service<zmq_message_queue, asio_task_executor>;

// A consumer that keeps what it was given, tagged with its name, in one shared journal.
class journal {
public:
    void add(std::string entry) {
        {
            std::lock_guard lock(mutex);
            entries.push_back(std::move(entry));
        }
        changed.notify_all();
    }
    std::vector<std::string> wait_for(std::size_t count) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, 10s, [&] { return entries.size() >= count; });
        return entries;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> entries;
};

struct named_consumer {
    std::string name;
    journal* target;
    void consume(std::string_view message, bool) { target->add(name + ":" + std::string(message)); }
};

struct throwing_consumer {
    void consume(std::string_view message, bool) {
        if (message == "bad") {
            throw std::runtime_error("cannot take " + std::string(message));
        }
    }
};

struct intake {
    test::temp_dir dir;
    std::string endpoint = "ipc://" + (dir / "service.sock").string();
    std::unique_ptr<service> running = std::make_unique<service>(
        std::make_unique<zmq_message_queue>(endpoint), std::make_unique<asio_task_executor>());
};

// Stand-ins that show the service destroyed what it was handed, and let the executor stop.
struct counted_queue {
    static inline int alive = 0;
    counted_queue() { ++alive; }
    ~counted_queue() { --alive; }
    void receive_batch(message_batch& batch) {
        std::unique_lock lock(mutex);
        woken.wait(lock, [&] { return stopped || !pending.empty(); });
        if (!pending.empty()) {
            batch.add(pending.back().data(), pending.back().size());
            pending.pop_back();
        }
    }
    void push(std::string message) {
        std::lock_guard lock(mutex);
        pending.insert(pending.begin(), std::move(message));
        woken.notify_all();
    }
    void shutdown() {
        std::lock_guard lock(mutex);
        stopped = true;
        woken.notify_all();
    }
    std::mutex mutex;
    std::condition_variable woken;
    std::vector<std::string> pending;
    bool stopped = false;
};

struct counted_executor {
    static inline int alive = 0;
    counted_executor() { ++alive; }
    ~counted_executor() { --alive; }
    bool is_running() const { return running; }
    bool has_waiting() const { return false; }
    template <typename Task>
    void submit(Task task, std::size_t) {
        if (!running) {
            throw std::runtime_error("Cannot submit task: executor not running");
        }
        task();
    }
    std::atomic<bool> running{true};
};

template <typename Action>
void expect_refused(Action construct, const std::string& text) {
    try {
        construct();
        ADD_FAILURE() << "constructed";
    } catch (const std::exception& error) {
        EXPECT_EQ(std::string(error.what()), text);
    }
    EXPECT_EQ(counted_queue::alive, 0);
    EXPECT_EQ(counted_executor::alive, 0);
}

}  // namespace

TEST(message_service, constructor_checks_destroy_what_they_were_given) {
    using checked = message_service<counted_queue, counted_executor>;
    test::log_capture log;
    expect_refused([] { checked(nullptr, nullptr); }, "Message queue is null");
    expect_refused([] { checked(nullptr, std::make_unique<counted_executor>()); },
                   "Message queue is null");
    expect_refused([] { checked(std::make_unique<counted_queue>(), nullptr); },
                   "Task executor is null");
    expect_refused(
        [] {
            auto stopped = std::make_unique<counted_executor>();
            stopped->running = false;
            auto queue = std::make_unique<counted_queue>();
            try {
                checked(std::move(queue), std::move(stopped));
            } catch (const std::runtime_error&) {
                EXPECT_FALSE(queue);
                throw;
            }
        },
        "Task executor is not running");
    EXPECT_TRUE(log.lines().empty());
}

TEST(message_service, every_consumer_gets_every_message_in_registration_order) {
    journal seen;
    named_consumer first{"first", &seen};
    named_consumer second{"second", &seen};
    intake daemon;
    daemon.running->add_consumer(&first);
    daemon.running->add_consumer(&second);
    daemon.running->add_consumer(&first);
    test::zmq_producer producer(daemon.endpoint);
    producer.send("a");
    producer.send(std::string("\0b", 2));
    producer.send("");
    auto entries = seen.wait_for(9);
    EXPECT_EQ(entries, (std::vector<std::string>{
                           "first:a", "second:a", "first:a", std::string("first:\0b", 8),
                           std::string("second:\0b", 9), std::string("first:\0b", 8),
                           "first:", "second:", "first:"}));
}

TEST(message_service, a_throwing_consumer_does_not_stop_the_service) {
    test::log_capture log;
    journal seen;
    throwing_consumer thrower;
    named_consumer after{"after", &seen};
    intake daemon;
    daemon.running->add_consumer(&thrower);
    daemon.running->add_consumer(&after);
    test::zmq_producer producer(daemon.endpoint);
    producer.send("bad");
    producer.send("good");
    EXPECT_EQ(seen.wait_for(2), (std::vector<std::string>{"after:bad", "after:good"}));
    EXPECT_EQ(log.count("error: Task execution failed: cannot take bad"), 1U);
}

TEST(message_service, messages_sent_before_the_first_consumer_are_kept) {
    journal seen;
    named_consumer late{"late", &seen};
    intake daemon;
    test::zmq_producer producer(daemon.endpoint);
    for (int i = 0; i < 100; ++i) {
        producer.send(std::to_string(i));
    }
    std::this_thread::sleep_for(200ms);
    daemon.running->add_consumer(&late);
    auto entries = seen.wait_for(100);
    ASSERT_EQ(entries.size(), 100U);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(entries[static_cast<std::size_t>(i)], "late:" + std::to_string(i));
    }
}

TEST(message_service, destruction_while_waiting_is_prompt) {
    for (bool with_consumer : {false, true}) {
        test::log_capture log;
        journal seen;
        named_consumer idle{"idle", &seen};
        intake daemon;
        if (with_consumer) {
            daemon.running->add_consumer(&idle);
            std::this_thread::sleep_for(50ms);
        }
        auto stopped = std::async(std::launch::async, [&] { daemon.running.reset(); });
        ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(log.count("info: Stopped"), 1U);
        EXPECT_EQ(log.count("info: Started"), 1U);
    }
}

TEST(message_service, a_stopped_executor_turns_each_message_into_an_error_line) {
    test::log_capture log;
    journal seen;
    named_consumer target{"t", &seen};
    auto queue = std::make_unique<counted_queue>();
    auto executor = std::make_unique<counted_executor>();
    auto* source = queue.get();
    auto* tasks = executor.get();
    {
        message_service<counted_queue, counted_executor> daemon(std::move(queue),
                                                                std::move(executor));
        daemon.add_consumer(&target);
        source->push("delivered");
        seen.wait_for(1);
        tasks->running = false;
        source->push("dropped 1");
        source->push("dropped 2");
        for (int i = 0; i < 500 && log.count_prefix("error: Processing error:") < 2; ++i) {
            std::this_thread::sleep_for(10ms);
        }
    }
    EXPECT_EQ(seen.wait_for(1), std::vector<std::string>{"t:delivered"});
    EXPECT_EQ(log.count("error: Processing error: Cannot submit task: executor not running"), 2U);
}
