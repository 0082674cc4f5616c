#include "forward/forwarder.hpp"

#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <utility>

#include "io/unique_fd.hpp"

namespace forward {

namespace {

// A state file holds the log's identity and the offset of the next record, one a line.
position load_state(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) {
        return {};
    }
    position read;
    std::string offset;
    std::getline(in, read.log);
    std::getline(in, offset);
    if (read.log.empty() && offset == "0") {
        return {};  // kept before anything was forwarded
    }
    const char* const end = offset.data() + offset.size();
    const auto [rest, error] = std::from_chars(offset.data(), end, read.offset);
    if (read.log.empty() || offset.empty() || error != std::errc() || rest != end) {
        spdlog::warn("Cannot read the forwarding state {}; forwarding from the oldest record",
                     file.string());
        return {};
    }
    return read;
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// New file, fsync, rename, fsync the folder: after a crash the file holds the old position or
// the new one, never a mix, and never one the folder forgot.
void store_state(const std::filesystem::path& file, const position& at) {
    const std::string temporary = file.string() + ".new";
    const std::string text = at.log + "\n" + std::to_string(at.offset) + "\n";
    io::unique_fd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
    if (!out || !write_all(out.get(), text) || ::fsync(out.get()) != 0 ||
        ::rename(temporary.c_str(), file.c_str()) != 0) {
        throw std::runtime_error(std::strerror(errno));
    }
    const std::string folder = file.has_parent_path() ? file.parent_path().string() : ".";
    io::unique_fd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory || ::fsync(directory.get()) != 0) {
        throw std::runtime_error(std::strerror(errno));
    }
}

constexpr auto save_interval = std::chrono::milliseconds(250);
constexpr auto idle_poll = std::chrono::seconds(1);
constexpr auto stop_grace = std::chrono::seconds(1);
// An acknowledgement later than this many times the usual wait may be lost.
constexpr int late_factor = 4;
constexpr auto late_floor = std::chrono::milliseconds(20);
constexpr auto late_ceiling = std::chrono::milliseconds(500);

}  // namespace

forwarder::forwarder(std::unique_ptr<sink> to, std::unique_ptr<record_source> from,
                     std::filesystem::path state, window_limits limits)
    : source(std::move(from)), target(std::move(to)), state_file(std::move(state)), bounds(limits) {
    cursor = sent = saved = shared_cursor = load_state(state_file);
    // A position that cannot be kept would have every restart send everything again.
    try {
        if (state_file.has_parent_path()) {
            std::error_code error;
            std::filesystem::create_directories(state_file.parent_path(), error);
            if (error) {
                throw std::runtime_error(error.message());
            }
        }
        store_state(state_file, saved);
    } catch (const std::exception& error) {
        throw std::runtime_error(fmt::format("Cannot write the forwarding state {}: {}",
                                             state_file.string(), error.what()));
    }
    worker = std::jthread([this](const std::stop_token& stop) { run(stop); });
}

void forwarder::stop() {
    {
        std::lock_guard lock(box->mutex);
        box->stopping = true;
    }
    worker.request_stop();
    box->wake.notify_one();
    worker = {};
}

void forwarder::written(std::uint64_t count) {
    known.fetch_add(count, std::memory_order_relaxed);
    {
        std::lock_guard lock(box->mutex);
        box->poked = true;
    }
    box->wake.notify_one();
}

std::optional<std::uint64_t> forwarder::behind() const {
    if (!counted.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    const std::uint64_t all = known.load(std::memory_order_relaxed);
    const std::uint64_t done = finished.load(std::memory_order_relaxed);
    return all > done ? all - done : 0;
}

void forwarder::run(const std::stop_token& stop) {
    try {
        if (take_stock(stop)) {
            forward_until_stopped();
        }
    } catch (const std::exception& error) {
        spdlog::error("Forwarding stopped: {}", error.what());
    } catch (...) {
        spdlog::error("Forwarding stopped: unknown error");
    }
}

// Walking a large log takes a while: it is done here, not before the daemon is ready. Records
// the writer adds meanwhile may be counted twice until the forwarder next catches up.
bool forwarder::take_stock(const std::stop_token& stop) {
    cursor = sent = source->resume_at(saved);
    {
        std::lock_guard lock(cursor_mutex);
        shared_cursor = cursor;
    }
    try {
        const auto count = source->count_from(cursor, stop);
        if (!count) {
            return false;
        }
        known.fetch_add(*count, std::memory_order_relaxed);
    } catch (const std::exception& error) {
        // Forwarding does not need the count: it is made right once forwarding catches up.
        spdlog::warn("Cannot count the records to forward: {}", error.what());
    }
    counted.store(true, std::memory_order_release);
    return true;
}

void forwarder::mailbox::notify(const std::function<void()>& change) {
    bool first = false;
    {
        std::lock_guard lock(mutex);
        first = arrived.empty() && !poked;
        change();
    }
    // One wake-up per burst of acknowledgements is enough: the worker takes them all.
    if (first) {
        wake.notify_one();
    }
}

void forwarder::forward_until_stopped() {
    // The handlers may outlive the forwarder: they hold on to the mailbox alone.
    const sink::events handlers{
        [box = box](std::uint64_t tag, outcome result, std::string_view reason,
                    std::uint64_t place) {
            box->notify([&] { box->arrived.push_back({tag, result, std::string(reason), place}); });
        },
        [box = box] { box->notify([&] { box->poked = true; }); }};
    // What stops a start (a credentials file not readable yet, say) may pass: it is tried again.
    for (;;) {
        try {
            target->start(handlers);
            break;
        } catch (const std::exception& error) {
            pause(error.what());
        }
        std::unique_lock lock(box->mutex);
        if (box->wake.wait_for(lock, backoff, [this] { return box->stopping; })) {
            lock.unlock();
            save_state(true);
            return;
        }
        backoff = std::min(backoff * 2, bounds.max_backoff);
    }
    std::vector<settled_event> events;
    for (bool stop = false;;) {
        {
            std::unique_lock lock(box->mutex);
            box->wake.wait_until(lock, next_deadline(), [&] {
                return box->stopping || box->poked || !box->arrived.empty();
            });
            stop = box->stopping;
            box->poked = false;
            events.swap(box->arrived);
        }
        for (const auto& event : events) {
            settle(event);
        }
        events.clear();
        advance_cursor();
        if (stop) {
            break;
        }
        try {
            send_more();
        } catch (const std::exception& error) {
            fail(fmt::format("cannot read the log: {}", error.what()));
        }
        save_state(false);
    }
    // A last moment for acknowledgements already on their way, so that a restart sends
    // as little as possible again.
    for (const auto deadline = clock::now() + stop_grace;
         !rewinding && waiting > 0 && clock::now() < deadline;) {
        {
            std::unique_lock lock(box->mutex);
            box->wake.wait_until(lock, deadline, [&] { return !box->arrived.empty(); });
            events.swap(box->arrived);
        }
        for (const auto& event : events) {
            settle(event);
        }
        events.clear();
        advance_cursor();
    }
    save_state(true);
    target.reset();
}

forwarder::clock::time_point forwarder::next_deadline() const {
    auto until = clock::now() + idle_poll;
    if (rewinding) {
        until = std::min(until, give_up_at);
    } else if (retry_at > clock::now()) {
        until = std::min(until, retry_at);
    }
    if (!rewinding && !window.empty()) {
        until = std::min(until, window.front().sent_at + bounds.ack_timeout);
    }
    if (cursor != saved) {
        until = std::min(until, saved_at + save_interval);
    }
    return until;
}

void forwarder::settle(const settled_event& event) {
    const auto entry = std::lower_bound(
        window.begin(), window.end(), event.tag,
        [](const in_flight& flight, std::uint64_t tag) { return flight.tag < tag; });
    // A record given up in a rewind: it is sent again under a new tag.
    if (entry == window.end() || entry->tag != event.tag || entry->now != stage::waiting) {
        return;
    }
    --waiting;
    switch (event.result) {
        case outcome::stored: {
            entry->now = stage::stored;
            entry->place = event.place;
            const auto took = std::chrono::duration_cast<std::chrono::microseconds>(clock::now() -
                                                                                    entry->sent_at);
            ack_latency = (ack_latency * 7 + took) / 8;
            // A record sent before the outage began says nothing about the broker now.
            if (paused && event.tag > paused_after) {
                resume();
            }
            break;
        }
        case outcome::refused:
            entry->now = stage::refused;
            spdlog::error("A record was not forwarded, as the broker refuses it: {}", event.reason);
            break;
        case outcome::failed:
            entry->now = stage::failed;
            fail(event.reason);
            break;
    }
}

void forwarder::pause(const std::string& reason) {
    if (!paused) {
        paused = true;
        paused_after = next_tag;
        spdlog::warn("Forwarding paused: {}", reason);
    }
}

void forwarder::resume() {
    paused = false;
    backoff = std::chrono::milliseconds(100);
    spdlog::info("Forwarding resumed, {} records behind", behind().value_or(0));
}

void forwarder::fail(const std::string& reason) {
    pause(reason);
    if (!rewinding) {
        spdlog::debug("Forwarding failed, sending again from the last stored record: {}", reason);
        rewinding = true;
        give_up_at = clock::now() + bounds.ack_timeout;
    }
}

void forwarder::advance_cursor() {
    const auto settled_for_good = [this] {
        return !window.empty() &&
               (window.front().now == stage::stored || window.front().now == stage::refused);
    };
    if (!settled_for_good()) {
        return;
    }
    while (settled_for_good()) {
        auto& front = window.front();
        if (front.now == stage::stored) {
            stored.fetch_add(1, std::memory_order_relaxed);
            // The stream holds records in the order it stored them: one stored after records
            // that follow it in the log (its first copy lost in a change of leader, say) can only
            // be told; its id still gives its place.
            if (front.place != 0 && front.place < last_place) {
                spdlog::warn("Records {} and {} were stored out of order, at {} and {}", last_id,
                             front.id, last_place, front.place);
            }
            if (front.place != 0) {
                last_place = front.place;
                last_id = std::move(front.id);
            }
        }
        cursor = std::move(window.front().next);
        window_bytes -= window.front().bytes;
        window.pop_front();
        finished.fetch_add(1, std::memory_order_relaxed);
    }
    std::lock_guard lock(cursor_mutex);
    shared_cursor = cursor;
}

std::string forwarder::state_problem() const {
    std::lock_guard lock(cursor_mutex);
    return save_problem;
}

position forwarder::acknowledged() const {
    std::lock_guard lock(cursor_mutex);
    return shared_cursor;
}

// After a failure nothing new goes out until every record in flight is settled: a record the
// broker lost must not be overtaken by one sent after it. Then all of them go again from the
// cursor, each under its old id, after a pause that grows while the failures go on.
void forwarder::send_more() {
    const auto now = clock::now();
    // A lost connection is told at once, whether or not records are on their way.
    const auto away = target->unavailable();
    if (away) {
        pause(*away);
    }
    if (!rewinding && !window.empty() && window.front().now == stage::waiting &&
        now >= window.front().sent_at + bounds.ack_timeout) {
        fail(fmt::format("no acknowledgement within {} ms", bounds.ack_timeout.count()));
    }
    if (rewinding) {
        if (waiting > 0 && now < give_up_at) {
            return;
        }
        target->forget();
        window.clear();
        window_bytes = 0;
        waiting = 0;
        sent = cursor;
        rewinding = false;
        retry_at = now + backoff;
        backoff = std::min(backoff * 2, bounds.max_backoff);
        return;
    }
    if (now < retry_at || held(now) || away) {
        return;
    }
    while (window.size() < bounds.window_records && window_bytes < bounds.window_bytes) {
        const std::uint64_t announced = known.load(std::memory_order_relaxed);
        source->read(sent, bounds.window_records - window.size(),
                     bounds.window_bytes - window_bytes, batch);
        if (batch.empty()) {
            caught_up(announced);
            return;
        }
        for (const auto& next : batch) {
            window.push_back({++next_tag, next.at.log + ":" + std::to_string(next.at.offset),
                              next.next, next.bytes.size(), clock::now()});
            window_bytes += next.bytes.size();
            ++waiting;
            const auto refusal = target->publish(window.back().id, next.bytes, next_tag);
            if (refusal && !refusal->for_good) {
                window_bytes -= next.bytes.size();
                window.pop_back();
                --waiting;
                fail(refusal->reason);
                return;
            }
            if (refusal) {
                settle({next_tag, outcome::refused, refusal->reason});
            }
            sent = next.next;
        }
    }
}

// Every record the writer told of before the read that found no more is settled, once the window
// is empty: the count is made exact again, unless the writer told of more meanwhile.
void forwarder::caught_up(std::uint64_t announced) {
    if (!window.empty()) {
        return;
    }
    if (counted.load(std::memory_order_relaxed)) {
        known.compare_exchange_strong(announced, finished.load(std::memory_order_relaxed));
    }
    // Connected, with nothing to send nor to wait for: an idle host ends its outage now, not
    // with its next record.
    if (paused) {
        resume();
    }
}

// A record whose acknowledgement is late, or overtaken by a later one's, may have been lost (a
// change of the stream's leader, say); records sent after it would be stored before it when it
// is sent again. The sooner nothing new goes out, the fewer can overtake it.
bool forwarder::held(clock::time_point now) const {
    if (window.empty() || window.front().now != stage::waiting) {
        return false;
    }
    const auto late =
        std::clamp<clock::duration>(ack_latency * late_factor, late_floor, late_ceiling);
    return window.size() > waiting || now > window.front().sent_at + late;
}

void forwarder::save_state(bool now) {
    if (cursor == saved || (!now && clock::now() < saved_at + save_interval)) {
        return;
    }
    saved_at = clock::now();
    try {
        store_state(state_file, cursor);
        saved = cursor;
        if (std::exchange(save_failing, false)) {
            std::lock_guard lock(cursor_mutex);
            save_problem.clear();
        }
    } catch (const std::exception& error) {
        // Tried again with each later save; the service manager's status tells meanwhile.
        if (std::exchange(save_failing, true)) {
            return;
        }
        spdlog::error("Cannot save the forwarding state {}: {}", state_file.string(), error.what());
        std::lock_guard lock(cursor_mutex);
        save_problem = error.what();
    }
}

}  // namespace forward
