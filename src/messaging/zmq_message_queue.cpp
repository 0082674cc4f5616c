#include "messaging/zmq_message_queue.hpp"

#include <spdlog/spdlog.h>
#include <systemd/sd-daemon.h>

namespace {

zmq::socket_t bound_socket(zmq::context_t& context, const std::string& endpoint) {
    zmq::socket_t socket(context, zmq::socket_type::pull);
    // Exactly one inherited socket is ours; with more, none can be told apart, so none is used.
    if (sd_listen_fds(0) == 1) {
        socket.set(zmq::sockopt::use_fd, SD_LISTEN_FDS_START);
    }
    socket.bind(endpoint);
    return socket;
}

}  // namespace

zmq_message_queue::zmq_message_queue(const std::string& endpoint)
    : context(), socket(bound_socket(context, endpoint)) {
    spdlog::debug("message_queue: listen to {}", endpoint);
}

zmq_message_queue::~zmq_message_queue() {
    shutdown();
    socket.close();
    context.close();
}

std::optional<std::string> zmq_message_queue::receive(bool wait) {
    try {
        zmq::message_t message;
        auto received =
            socket.recv(message, wait ? zmq::recv_flags::none : zmq::recv_flags::dontwait);
        if (!received) {
            return std::nullopt;
        }
        return std::string(static_cast<const char*>(message.data()), message.size());
    } catch (const zmq::error_t& error) {
        spdlog::error("failed to receive message: {}", error.what());
        return std::nullopt;
    }
}

std::vector<std::string> zmq_message_queue::receive_all() {
    std::vector<std::string> messages;
    while (auto message = receive(false)) {
        messages.push_back(std::move(*message));
    }
    return messages;
}

void zmq_message_queue::shutdown() { context.shutdown(); }
