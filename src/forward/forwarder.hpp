#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "forward/record_source.hpp"
#include "forward/sink.hpp"

namespace forward {

struct window_limits {
    std::size_t window_records = 512;
    std::size_t window_bytes = std::size_t{4} << 20;
    // How long a record may wait for its outcome before it counts as lost.
    std::chrono::milliseconds ack_timeout{6000};
    std::chrono::milliseconds max_backoff{5000};
};

// Sends every record of the log beyond the host, in order, on a thread of its own. The log is
// its queue: it reads records back from the files, so the writer never waits for the broker
// and nothing is held in memory beyond a window of records in flight. The position after the
// last record the broker stored is kept in the state file, so a restart resumes there; a
// record republished after a failure or a restart carries the same id, which the broker drops
// as a duplicate. Owns the source and the sink.
class forwarder {
public:
    // Throws when the state file cannot be written.
    forwarder(std::unique_ptr<sink> to, std::unique_ptr<record_source> from,
              std::filesystem::path state, window_limits limits = {});
    // Waits a moment for the records in flight, saves the position and closes the connection.
    void stop();
    ~forwarder() { stop(); }
    forwarder(const forwarder&) = delete;
    forwarder& operator=(const forwarder&) = delete;

    // The writer has added `count` records to the log. Returns at once, whatever the broker does.
    void written(std::uint64_t count);
    // Records the broker stored since the start, each counted once.
    std::uint64_t forwarded() const { return stored.load(std::memory_order_relaxed); }
    // Records in the log that the broker has not stored yet; none while they are still being
    // counted, which the forwarder's thread does first.
    std::optional<std::uint64_t> behind() const;
    // The position after the last record the broker stored, in order.
    position acknowledged() const;
    // Why that position cannot be saved now; empty when it can.
    std::string state_problem() const;

private:
    struct settled_event {
        std::uint64_t tag;
        outcome result;
        std::string reason;
        std::uint64_t place = 0;
    };
    using clock = std::chrono::steady_clock;
    enum class stage { waiting, stored, refused, failed };
    struct in_flight {
        std::uint64_t tag;
        std::string id;
        position next;
        std::size_t bytes;
        clock::time_point sent_at;
        stage now = stage::waiting;
        std::uint64_t place = 0;
    };

    void run(const std::stop_token& stop);
    // Where to resume, and how many records are still to go from there.
    bool take_stock(const std::stop_token& stop);
    void pause(const std::string& reason);
    void resume();
    // Whether an acknowledgement the window waits for may be lost: nothing new goes out then.
    bool held(clock::time_point now) const;
    void caught_up(std::uint64_t announced);
    void forward_until_stopped();
    clock::time_point next_deadline() const;
    void settle(const settled_event& event);
    void send_more();
    void fail(const std::string& reason);
    void advance_cursor();
    void save_state(bool now);

    std::unique_ptr<record_source> source;
    std::unique_ptr<sink> target;
    const std::filesystem::path state_file;
    const window_limits bounds;

    // What the other threads hand over, guarded by `mutex`. The sink's handlers hold it too:
    // a sink that cannot close in time leaves its connection, and them, behind.
    struct mailbox {
        std::mutex mutex;
        std::condition_variable wake;
        std::vector<settled_event> arrived;
        bool poked = false;
        bool stopping = false;
        // Runs `change` under the lock and wakes the worker if it may be asleep.
        void notify(const std::function<void()>& change);
    };
    const std::shared_ptr<mailbox> box = std::make_shared<mailbox>();

    mutable std::mutex cursor_mutex;
    position shared_cursor;  // a copy of `cursor` for other threads
    std::string save_problem;

    std::atomic<std::uint64_t> known{0};
    std::atomic<bool> counted{false};
    std::atomic<std::uint64_t> finished{0};
    std::atomic<std::uint64_t> stored{0};

    // The worker's own.
    position cursor;
    position saved;
    position sent;
    std::deque<in_flight> window;
    std::size_t window_bytes = 0;
    std::size_t waiting = 0;
    std::uint64_t next_tag = 0;
    // The last tag sent before the outage began: only a later one stored ends it.
    std::uint64_t paused_after = 0;
    // The broker's place of the last record stored, in the order of the log.
    std::uint64_t last_place = 0;
    std::string last_id;
    // How long the broker takes to acknowledge, smoothed.
    std::chrono::microseconds ack_latency{20000};
    bool paused = false;
    bool rewinding = false;
    bool save_failing = false;
    clock::time_point give_up_at;
    clock::time_point retry_at;
    clock::time_point saved_at;
    std::chrono::milliseconds backoff{100};
    std::vector<record> batch;

    std::jthread worker;
};

}  // namespace forward
