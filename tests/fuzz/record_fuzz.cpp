// Any bytes as one frame from a producer: the event log grows by exactly those bytes and one
// newline, through the real queue, service, executor and consumer.
#include "executor/asio_task_executor.hpp"
#include "messaging/message_service.hpp"
#include "messaging/zmq_message_queue.hpp"
#include "output/file_message_consumer.hpp"
#include "support/support.hpp"

namespace {

// The whole record path, set up once for the run.
struct record_path {
    test::temp_dir dir;
    std::string log = (dir / "events.log").string(), endpoint = "ipc://" + (dir / "q").string();
    file_message_consumer consumer{log};
    message_service<zmq_message_queue, asio_task_executor> service{
        std::make_unique<zmq_message_queue>(endpoint), std::make_unique<asio_task_executor>()};
    test::producer producer{endpoint};
    const int reader = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
    record_path() { service.add_consumer(&consumer); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    spdlog::set_level(spdlog::level::off);
    static record_path path;
    const std::uintmax_t before = std::filesystem::file_size(path.log);
    const std::string record(data, data + size);
    path.producer.send(record);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::filesystem::file_size(path.log) < before + size + 1) {
        if (std::chrono::steady_clock::now() > deadline) std::abort();
    }
    std::string written(size + 2, '\0');
    written.resize(static_cast<std::size_t>(
        ::pread(path.reader, written.data(), written.size(), static_cast<off_t>(before))));
    if (written != record + "\n") std::abort();
    return 0;
}
