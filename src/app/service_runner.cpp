#include "app/service_runner.hpp"

#include <fmt/ranges.h>
#include <pthread.h>
#include <spdlog/spdlog.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "executor/asio_task_executor.hpp"
#include "forward/forwarder.hpp"
#include "forward/nats_sink.hpp"
#include "forward/seal_source.hpp"
#include "messaging/message_service.hpp"
#include "messaging/zmq_message_queue.hpp"
#include "output/file_message_consumer.hpp"

namespace {

// How long a stop keeps trying a log that cannot be written before it gives the records up.
constexpr std::chrono::seconds stop_deadline{10};

sigset_t termination_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

// Blocks the calling thread until SIGINT or SIGTERM. Only the first signal is acted on; once
// this returns both signals have their default action again. Under a service manager that
// listens for notifications, it says when the stop begins and, once a second at most, how many
// records the consumer has written.
void wait_for_termination(const sigset_t& previous_mask, const std::string& output_file,
                          const file_message_consumer& consumer,
                          const forward::forwarder* forwarder) {
    boost::asio::io_context loop;
    boost::asio::signal_set signals(loop, SIGINT, SIGTERM);
    // Only now may the signals reach this thread, and every other thread keeps them blocked,
    // so one that came while the service was being built is handled here, in order.
    pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    boost::asio::steady_timer status_timer(loop);
    signals.async_wait([&](const boost::system::error_code& error, int number) {
        status_timer.cancel();
        if (error) {
            spdlog::warn("Signal handler error: {}", error.message());
            return;
        }
        spdlog::info("Received signal {}, shutting down", number);
        sd_notify(0, "STOPPING=1");
        loop.stop();
    });
    std::string reported;
    std::function<void()> report_status = [&] {
        const std::uint64_t held = consumer.records_held();
        const std::string status =
            held > 0
                ? fmt::format("STATUS=Holding a group of {} records: event log not writable: {}",
                              held, consumer.hold_reason())
                : fmt::format("STATUS=Writing to {}: {} records written", output_file,
                              consumer.records_written()) +
                      (forwarder == nullptr  ? ""
                       : forwarder->behind() ? fmt::format(", {} to forward", *forwarder->behind())
                                             : std::string(", counting the records to forward")) +
                      (forwarder == nullptr || forwarder->state_problem().empty()
                           ? ""
                           : ", cannot save the forwarding state: " + forwarder->state_problem());
        if (status != reported) {
            reported = status;
            sd_notify(0, status.c_str());
        }
        status_timer.expires_after(std::chrono::seconds(1));
        status_timer.async_wait([&](const boost::system::error_code& error) {
            if (!error) {
                report_status();
            }
        });
    };
    if (std::getenv("NOTIFY_SOCKET") != nullptr) {
        report_status();
    }
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

}  // namespace

int run_service(const settings& config) {
    // Held from before the first thread starts (threads inherit the mask) until the wait is
    // in place: otherwise a SIGTERM just after "Service ready" would end the process by the
    // default action and lose the records already taken in.
    const sigset_t blocked = termination_signals();
    sigset_t previous_mask;
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_mask);

    raise_descriptor_limit();
    auto executor = std::make_unique<asio_task_executor>();
    auto queue =
        std::make_unique<zmq_message_queue>(config.queue.endpoint, config.queue.max_record_size);

    // Declared before the service so it is destroyed after it, on every way out: queued tasks
    // hold its address until the service has stopped its executor.
    // The consumer tells it of each write, up to the consumer's last one.
    std::unique_ptr<forward::forwarder> forwarder;
    std::optional<file_message_consumer> consumer;
    const std::string output_file = config.consumer.output_file.string();
    {
        message_service<zmq_message_queue, asio_task_executor> service(std::move(queue),
                                                                       std::move(executor));
        spdlog::info("Output file: {}", output_file);
        if (config.consumer.max_file_size > 0) {
            const auto kept = config.consumer.max_archives;
            spdlog::info("Archiving the event log at {} bytes, keeping {} archives",
                         config.consumer.max_file_size, kept > 0 ? std::to_string(kept) : "all");
        }
        const auto& log = config.consumer.output_file;
        log_options options{.sync = config.consumer.sync,
                            .max_file_size = config.consumer.max_file_size,
                            .max_archives = config.consumer.max_archives,
                            .seal_key_file = config.seal.key_file,
                            .record_lengths = !config.forward.servers.empty()};
        if (!config.forward.servers.empty()) {
            spdlog::info("Forwarding to {} on {}", fmt::join(config.forward.servers, ", "),
                         config.forward.subject);
            // The consumer is made first and may write (ending a cut record) or archive before
            // the forwarder exists: it reads those records back later, and nothing goes unread.
            options.on_written = [&forwarder](std::uint64_t records) {
                if (forwarder) {
                    forwarder->written(records);
                }
            };
            options.may_remove = [&forwarder, &log](const std::filesystem::path& archive) {
                return forwarder &&
                       forward::forwarded_past(log, archive, forwarder->acknowledged());
            };
        }
        consumer.emplace(log, options);
        if (!config.forward.servers.empty()) {
            forwarder = std::make_unique<forward::forwarder>(
                std::make_unique<forward::nats_sink>(config.forward,
                                                     forward::window_limits{}.window_records),
                // A line of what was written before the seal longer than any record taken in
                // cannot be one: it goes in pieces of that size.
                std::make_unique<forward::seal_source>(log, !config.consumer.sync,
                                                       config.queue.max_record_size),
                config.forward.state_file);
        }
        service.add_consumer(&*consumer);
        spdlog::info("Service ready");
        sd_notify(0, "READY=1");
        wait_for_termination(previous_mask, output_file, *consumer, forwarder.get());
        // Told before the service stops, so that records held for a log that cannot be written
        // hold the stop up for a bounded time only.
        consumer->request_stop(std::chrono::steady_clock::now() + stop_deadline);
    }
    // The service has stopped and every record it took in has been handed to the consumer.
    const std::uint64_t lost = consumer->finish();
    spdlog::info("Records written: {}, failed: {}", consumer->records_written(),
                 consumer->records_failed());
    if (forwarder) {
        // Gives the records in flight a moment to be acknowledged, then saves the position.
        forwarder->stop();
        spdlog::info("Records forwarded: {}", forwarder->forwarded());
    }
    return lost > 0 ? 1 : 0;
}
