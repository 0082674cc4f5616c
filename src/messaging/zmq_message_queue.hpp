#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "messaging/message_batch.hpp"

// The daemon's inbound endpoint: one ZeroMQ PULL socket, bound to the configured endpoint or
// adopting the one listening socket the service manager passed. Records larger than the
// maximum are refused before ZeroMQ allocates them, what ZeroMQ buffers per connection is
// bounded in bytes, and the connections stay below the descriptor limit (connection_admission).
class zmq_message_queue {
public:
    static constexpr std::size_t default_max_record_size = std::size_t{1} << 20;

    explicit zmq_message_queue(const std::string& endpoint,
                               std::size_t max_record_size = default_max_record_size);
    ~zmq_message_queue();
    zmq_message_queue(const zmq_message_queue&) = delete;
    zmq_message_queue& operator=(const zmq_message_queue&) = delete;

    // One frame's bytes, or no value when nothing was received (failures are logged here).
    std::optional<std::string> receive(bool wait);
    std::vector<std::string> receive_all();
    // Adds to the batch the next frame, waiting for it, then every frame already waiting
    // until the batch is full. Leaves it empty when the wait failed (failures are logged).
    void receive_batch(message_batch& batch);
    // Makes a receive blocked in another thread, and every later one, return at once.
    void shutdown();

private:
    struct zmq_parts;  // ZeroMQ's context and socket, whose headers stay in the .cpp file
    std::unique_ptr<zmq_parts> parts;
    const std::size_t record_limit;
};
