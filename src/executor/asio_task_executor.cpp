#include "executor/asio_task_executor.hpp"

#include <spdlog/spdlog.h>

#include <limits>
#include <stdexcept>

namespace {

std::ptrdiff_t as_count(std::size_t capacity) {
    if (capacity == 0 ||
        capacity > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max() / 2)) {
        throw std::invalid_argument("Task executor capacity is out of range");
    }
    return static_cast<std::ptrdiff_t>(capacity);
}

}  // namespace

asio_task_executor::asio_task_executor(std::size_t max_waiting)
    : capacity(max_waiting),
      work_guard(boost::asio::make_work_guard(io_context)),
      room(as_count(max_waiting)) {
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
    running.store(false, std::memory_order_relaxed);
    // Wakes every submit waiting for room; each finds the executor stopped and throws.
    room.release(static_cast<std::ptrdiff_t>(capacity));
}

void asio_task_executor::wait_for_room() {
    if (!is_running()) {
        throw std::runtime_error("Cannot submit task: executor not running");
    }
    room.acquire();
    if (!is_running()) {
        room.release();
        throw std::runtime_error("Cannot submit task: executor not running");
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
