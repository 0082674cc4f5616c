#include "executor/asio_task_executor.hpp"

#include <spdlog/spdlog.h>

#include <new>
#include <stdexcept>

namespace {

std::size_t checked(std::size_t capacity) {
    if (capacity == 0) {
        throw std::invalid_argument("Task executor capacity must be at least 1");
    }
    return capacity;
}

}  // namespace

asio_task_executor::asio_task_executor(std::size_t max_waiting)
    : capacity(checked(max_waiting)),
      resume_level(max_waiting - (max_waiting + 3) / 4),
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

void asio_task_executor::wait_for_room() {
    if (waiting.load() >= capacity && is_running()) {
        std::unique_lock lock(room_mutex);
        ++blocked_submitters;
        room.wait(lock, [this] { return waiting.load() <= resume_level || !running.load(); });
        --blocked_submitters;
    }
    if (!is_running()) {
        throw std::runtime_error("Cannot submit task: executor not running");
    }
    waiting.fetch_add(1);
}

void asio_task_executor::leave_queue() {
    // Sequentially consistent with the submitter's count and its reading of `waiting`: either
    // it sees the level reached, or this sees it blocked and wakes it.
    if (waiting.fetch_sub(1) - 1 == resume_level && blocked_submitters.load() > 0) {
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

asio_task_executor::task_memory::task_memory() { freed.reserve(batch); }

asio_task_executor::task_memory::~task_memory() {
    for (auto* list : {&ready, &returned, &freed}) {
        for (void* block : *list) {
            ::operator delete(block);
        }
    }
}

void* asio_task_executor::task_memory::allocate(std::size_t size) {
    if (size <= block_size) {
        std::lock_guard lock(taking);
        if (ready.empty()) {
            std::lock_guard handed(handing_back);
            ready.swap(returned);
        }
        if (!ready.empty()) {
            void* block = ready.back();
            ready.pop_back();
            return block;
        }
        return ::operator new(block_size);
    }
    return ::operator new(size);
}

void asio_task_executor::task_memory::deallocate(void* block, std::size_t size) noexcept {
    if (size > block_size) {
        ::operator delete(block);
        return;
    }
    freed.push_back(block);
    if (freed.size() < batch) {
        return;
    }
    std::lock_guard lock(handing_back);
    try {
        // Grows only until the pool is as large as the most tasks ever queued at once.
        returned.insert(returned.end(), freed.begin(), freed.end());
    } catch (const std::bad_alloc&) {
        for (void* spare : freed) {
            ::operator delete(spare);
        }
    }
    freed.clear();
}

void asio_task_executor::report_failure(const char* what) {
    if (what != nullptr) {
        spdlog::error("Task execution failed: {}", what);
    } else {
        spdlog::error("Task execution failed: unknown error");
    }
}
