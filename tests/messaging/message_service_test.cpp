#include "messaging/message_service.hpp"

#include "executor/asio_task_executor.hpp"
#include "messaging/zmq_message_queue.hpp"
#include "support/support.hpp"

using namespace test;

namespace {

// Keeps what it is given in a journal written by the executor's thread; b refuses a batch
// with "bad" in it.
struct journal_consumer {
    std::string name;
    std::vector<std::string>* journal;
    void consume(std::span<const std::string_view> records, bool) {
        if (name == "b" && std::ranges::find(records, "bad") != records.end())
            throw std::runtime_error("cannot take it");
        for (const auto record : records) journal->push_back(name + ":" + std::string(record));
    }
};

// Runs each task at once, until stopped from outside.
struct stoppable_executor {
    std::atomic<bool> running{true};
    bool is_running() const { return running; }
    bool has_waiting() const { return false; }
    template <typename Task>
    void submit(Task task, std::size_t) {
        if (!running) throw std::runtime_error("Cannot submit task: executor not running");
        task();
    }
};

}  // namespace

TEST(message_service, every_consumer_gets_every_record_in_order_and_failures_are_reported) {
    auto log = capture_log();
    const auto logged = [&](const std::string& line) {
        return std::ranges::any_of(log->last_raw(), [&](auto& l) { return l.payload == line; });
    };
    temp_dir dir;
    const std::string endpoint = "ipc://" + (dir / "q.sock").string();
    std::vector<std::string> journal;
    journal_consumer a{"a", &journal}, b{"b", &journal};
    auto executor = std::make_unique<stoppable_executor>();
    auto* running = executor.get();
    {
        message_service<zmq_message_queue, stoppable_executor> s(
            std::make_unique<zmq_message_queue>(endpoint), std::move(executor));
        producer p(endpoint);
        p.send("sent before any consumer");
        std::this_thread::sleep_for(100ms);
        s.add_consumer(&a);
        s.add_consumer(&b);
        p.send("bad");  // in a batch of its own, which b loses
        EXPECT_TRUE(eventually([&] { return logged("Task execution failed: cannot take it"); }));
        p.send("\0z"s, true);
        p.send("");
        std::this_thread::sleep_for(200ms);
        running->running = false;
        p.send("dropped");
        EXPECT_TRUE(eventually(
            [&] { return logged("Processing error: Cannot submit task: executor not running"); }));
    }
    // What came before b registered may or may not have reached b.
    std::erase(journal, "b:sent before any consumer");
    const auto of = [&](char name) {
        std::vector<std::string> records;
        for (const auto& line : journal)
            if (line[0] == name) records.push_back(line.substr(2));
        return records;
    };
    EXPECT_EQ(of('a'), (std::vector<std::string>{"sent before any consumer", "bad", "\0z"s, ""}));
    EXPECT_EQ(of('b'), (std::vector<std::string>{"\0z"s, ""}));
}

TEST(zmq_message_queue, receives_one_or_all_waiting_and_a_blocked_receive_wakes_at_shutdown) {
    auto log = capture_log();
    temp_dir dir;
    const std::string endpoint = "ipc://" + (dir / "q.sock").string();
    zmq_message_queue queue(endpoint);
    EXPECT_EQ(queue.receive(false), std::nullopt);
    producer p(endpoint);
    p.send("one");
    p.send("two");
    EXPECT_EQ(queue.receive(true), "one");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(queue.receive_all(), std::vector<std::string>{"two"});
    auto blocked = std::async(std::launch::async, [&] { return queue.receive(true); });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
    queue.shutdown();
    ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), std::nullopt);
    // The stop is not a failure: nothing is logged.
    EXPECT_TRUE(log->last_raw().empty());
}
