#include "app/service_runner.hpp"

#include <pthread.h>
#include <spdlog/spdlog.h>
#include <sys/resource.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "executor/asio_task_executor.hpp"
#include "messaging/message_service.hpp"
#include "messaging/zmq_message_queue.hpp"
#include "output/file_message_consumer.hpp"

namespace {

sigset_t termination_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

// Blocks the calling thread until SIGINT or SIGTERM. Only the first signal is acted on; once
// this returns both signals have their default action again.
void wait_for_termination(const sigset_t& previous_mask) {
    boost::asio::io_context loop;
    boost::asio::signal_set signals(loop, SIGINT, SIGTERM);
    // Only now may the signals reach this thread, and every other thread keeps them blocked,
    // so one that came while the service was being built is handled here, in order.
    pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    signals.async_wait([&loop](const boost::system::error_code& error, int number) {
        if (error) {
            spdlog::warn("Signal handler error: {}", error.message());
            return;
        }
        spdlog::info("Received signal {}, shutting down", number);
        loop.stop();
    });
    loop.run();
}

// Producers each hold a connection, so a host with thousands of them needs as many
// descriptors: take everything the hard limit allows.
void raise_descriptor_limit() {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0) {
        return;
    }
    if (limits.rlim_cur != limits.rlim_max) {
        limits.rlim_cur = limits.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limits) != 0) {
            ::getrlimit(RLIMIT_NOFILE, &limits);
        }
    }
    spdlog::debug("Descriptor limit: {}", limits.rlim_cur);
}

std::size_t max_record_size(const yaml_config& config) {
    const auto value = config.get_optional<long long>({"queue", "max_record_size"});
    if (value && *value < 1) {
        spdlog::debug("Error reading config path: queue.max_record_size must be at least 1");
    }
    return value && *value >= 1 ? static_cast<std::size_t>(*value)
                                : zmq_message_queue::default_max_record_size;
}

}  // namespace

void run_service(const yaml_config& config) {
    // Held from before the first thread starts (threads inherit the mask) until the wait is
    // in place: otherwise a SIGTERM just after "Service ready" would end the process by the
    // default action and lose the records already taken in.
    const sigset_t blocked = termination_signals();
    sigset_t previous_mask;
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_mask);

    const std::string endpoint =
        config.get<std::string>({"queue", "endpoint"}, "ipc:///var/run/velmoeventsd.socket");
    const std::size_t record_limit = max_record_size(config);
    raise_descriptor_limit();
    auto executor = std::make_unique<asio_task_executor>();
    auto queue = std::make_unique<zmq_message_queue>(endpoint, record_limit);

    // Declared before the service so it is destroyed after it, on every way out: queued tasks
    // hold its address until the service has stopped its executor.
    std::optional<file_message_consumer> consumer;
    message_service<zmq_message_queue, asio_task_executor> service(std::move(queue),
                                                                   std::move(executor));

    const std::string output_file =
        config.get<std::string>({"consumer", "output_file"}, "/var/log/velmo-events.log");
    spdlog::info("Output file: {}", output_file);
    consumer.emplace(std::filesystem::path(output_file),
                     config.get<bool>({"consumer", "sync"}, false));
    service.add_consumer(&*consumer);
    spdlog::info("Service ready");

    wait_for_termination(previous_mask);
}
