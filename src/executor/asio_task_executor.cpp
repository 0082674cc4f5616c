#include "executor/asio_task_executor.hpp"

#include <spdlog/spdlog.h>

#include <stdexcept>

namespace {

std::size_t checked(std::size_t bound) {
    if (bound == 0) {
        throw std::invalid_argument("Task executor bounds must be at least 1");
    }
    return bound;
}

std::size_t resume_level(std::size_t bound) { return bound - (bound + 3) / 4; }

}  // namespace

asio_task_executor::asio_task_executor(std::size_t max_waiting, std::size_t max_waiting_bytes)
    : capacity(checked(max_waiting)),
      byte_budget(checked(max_waiting_bytes)),
      work_guard(boost::asio::make_work_guard(io_context)) {
    worker = std::jthread([this] { work(); });
}

asio_task_executor::~asio_task_executor() {
    stop_accepting();
    // Without the guard, run() returns once the queue is empty: accepted tasks still run.
    work_guard.reset();
    if (worker.joinable()) {
        worker.join();
    }
}

void asio_task_executor::stop_accepting() {
    {
        std::lock_guard lock(room_mutex);
        running.store(false);
    }
    // Wakes every submit waiting for room; each finds the executor stopped and throws.
    room.notify_all();
}

bool asio_task_executor::full() const {
    return waiting.load() >= capacity || waiting_bytes.load() >= byte_budget;
}

bool asio_task_executor::below_resume_level() const {
    return waiting.load() <= resume_level(capacity) &&
           waiting_bytes.load() <= resume_level(byte_budget);
}

void asio_task_executor::wait_for_room(std::size_t bytes) {
    if (full() && is_running()) {
        std::unique_lock lock(room_mutex);
        ++blocked_submitters;
        room.wait(lock, [this] { return below_resume_level() || !running.load(); });
        --blocked_submitters;
    }
    if (!is_running()) {
        throw std::runtime_error("Cannot submit task: executor not running");
    }
    waiting_bytes.fetch_add(bytes);
    waiting.fetch_add(1);
}

void asio_task_executor::leave_queue(std::size_t bytes) {
    waiting_bytes.fetch_sub(bytes);
    waiting.fetch_sub(1);
    // Sequentially consistent with the submitter's count and its reading of the levels: either
    // it sees the queue below them, or this sees it blocked and wakes it.
    if (blocked_submitters.load() > 0 && below_resume_level()) {
        std::lock_guard lock(room_mutex);
        room.notify_all();
    }
}

void asio_task_executor::work() {
    try {
        io_context.run();
        return;
    } catch (const std::exception& error) {
        spdlog::error("IO context error: {}", error.what());
    } catch (...) {
        spdlog::error("IO context error: unknown");
    }
    stop_accepting();
}

void asio_task_executor::report_failure(const char* what) {
    if (what != nullptr) {
        spdlog::error("Task execution failed: {}", what);
    } else {
        spdlog::error("Task execution failed: unknown error");
    }
}
