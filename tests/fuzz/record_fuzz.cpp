// Any bytes as one frame from a producer: the event log grows by exactly those bytes and one
// newline, through the real queue, service, executor and consumer.
#include <spdlog/spdlog.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <zmq.hpp>

#include "executor/asio_task_executor.hpp"
#include "messaging/message_service.hpp"
#include "messaging/zmq_message_queue.hpp"
#include "output/file_message_consumer.hpp"

namespace {

// The whole record path, set up once for the run.
struct record_path {
    std::string dir = [] {
        spdlog::set_level(spdlog::level::off);
        std::string pattern = "/tmp/velmo-record-fuzz-XXXXXX";
        return std::string(::mkdtemp(pattern.data()));
    }();
    std::string log = dir + "/events.log", endpoint = "ipc://" + dir + "/fuzz.sock";
    file_message_consumer consumer{log};
    message_service<zmq_message_queue, asio_task_executor> service{
        std::make_unique<zmq_message_queue>(endpoint), std::make_unique<asio_task_executor>()};
    zmq::context_t context;
    zmq::socket_t producer{context, zmq::socket_type::push};
    record_path() {
        service.add_consumer(&consumer);
        producer.connect(endpoint);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static record_path path;
    const std::uintmax_t before = std::filesystem::file_size(path.log);
    path.producer.send(zmq::buffer(data, size), zmq::send_flags::none);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::filesystem::file_size(path.log) < before + size + 1) {
        if (std::chrono::steady_clock::now() > deadline) std::abort();
    }
    std::ifstream reader(path.log, std::ios::binary);
    reader.seekg(static_cast<std::streamoff>(before));
    std::string written(size + 1, '\0');
    reader.read(written.data(), static_cast<std::streamsize>(written.size()));
    if (std::filesystem::file_size(path.log) != before + size + 1 ||
        written != std::string(data, data + size) + "\n") {
        std::abort();
    }
    return 0;
}
