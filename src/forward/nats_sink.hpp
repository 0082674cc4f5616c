#pragma once

#include <memory>

#include "config/settings.hpp"
#include "forward/sink.hpp"

namespace forward {

// Publishes records to a NATS JetStream stream through nats.c, asynchronously, each with its
// id in `Nats-Msg-Id` so that the stream's duplicate window drops a record sent twice.
// Reconnects forever, with a growing pause between rounds of attempts, and never queues a
// record while it is away: the forwarder sends it again once it is back.
class nats_sink final : public sink {
public:
    // How long a record waits for the stream's acknowledgement before it counts as failed.
    static constexpr std::int64_t ack_wait_ms = 5000;

    // Checks the settings (server URLs) and throws on a bad one; reads the credentials and CA
    // files and connects only once started, which throws while a file cannot be read.
    nats_sink(const settings::forward_settings& config, std::size_t window);
    ~nats_sink() override;
    nats_sink(const nats_sink&) = delete;
    nats_sink& operator=(const nats_sink&) = delete;

    void start(events handlers) override;
    std::optional<std::string> unavailable() override;
    std::optional<refusal> publish(std::string_view id, std::string_view record,
                                   std::uint64_t tag) override;
    void forget() override;

    struct connection;

private:
    std::unique_ptr<connection> link;
};

}  // namespace forward
