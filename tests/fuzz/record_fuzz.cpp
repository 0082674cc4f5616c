// Any bytes as one frame from a producer: the event log grows by exactly those bytes and one
// newline, through the real queue, service, executor and consumer.
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <zmq.hpp>

#include "executor/asio_task_executor.hpp"
#include "messaging/message_service.hpp"
#include "messaging/zmq_message_queue.hpp"
#include "output/file_message_consumer.hpp"

namespace {

using service_type = message_service<zmq_message_queue, asio_task_executor>;

struct record_path {
    std::filesystem::path dir;
    std::filesystem::path log;
    std::unique_ptr<file_message_consumer> consumer;
    std::unique_ptr<service_type> service;
    zmq::context_t context;
    zmq::socket_t producer{context, zmq::socket_type::push};
    std::ifstream reader;

    record_path() {
        spdlog::set_level(spdlog::level::off);
        std::string pattern = "/tmp/velmo-record-fuzz-XXXXXX";
        dir = ::mkdtemp(pattern.data());
        log = dir / "events.log";
        const std::string endpoint = "ipc://" + (dir / "fuzz.sock").string();
        consumer = std::make_unique<file_message_consumer>(log);
        service = std::make_unique<service_type>(std::make_unique<zmq_message_queue>(endpoint),
                                                 std::make_unique<asio_task_executor>());
        service->add_consumer(consumer.get());
        producer.connect(endpoint);
        reader.open(log, std::ios::binary);
    }
};

std::uintmax_t size_of(const std::filesystem::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return static_cast<std::uintmax_t>(info.st_size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static record_path path;
    const std::uintmax_t before = size_of(path.log);
    path.producer.send(zmq::buffer(data, size), zmq::send_flags::none);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (size_of(path.log) < before + size + 1) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::abort();
        }
        std::this_thread::yield();
    }
    std::string written(size + 1, '\0');
    path.reader.clear();
    path.reader.seekg(static_cast<std::streamoff>(before));
    path.reader.read(written.data(), static_cast<std::streamsize>(written.size()));
    if (size_of(path.log) != before + size + 1 || written.back() != '\n' ||
        std::memcmp(written.data(), data, size) != 0) {
        std::abort();
    }
    return 0;
}
