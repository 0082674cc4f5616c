#pragma once

#include <optional>
#include <string>
#include <vector>
#include <zmq.hpp>

// The daemon's inbound endpoint: one ZeroMQ PULL socket, bound to the configured endpoint or
// adopting the one listening socket the service manager passed. Yields one frame per receive.
class zmq_message_queue {
public:
    explicit zmq_message_queue(const std::string& endpoint);
    ~zmq_message_queue();
    zmq_message_queue(const zmq_message_queue&) = delete;
    zmq_message_queue& operator=(const zmq_message_queue&) = delete;

    // One frame's bytes, or no value when nothing was received (failures are logged here).
    std::optional<std::string> receive(bool wait);
    std::vector<std::string> receive_all();
    // Makes a receive blocked in another thread, and every later one, return at once.
    void shutdown();

private:
    zmq::context_t context;
    zmq::socket_t socket;
};
