#include "messaging/zmq_message_queue.hpp"

#include <spdlog/spdlog.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <filesystem>

namespace {

// Where ZeroMQ asks, during each handshake, whether to let the peer in.
const char* const zap_endpoint = "inproc://zeromq.zap.01";
// What one connection may hold unread inside ZeroMQ, at the largest records.
constexpr std::size_t connection_buffer_bytes = std::size_t{256} << 20;
constexpr int min_receive_hwm = 256;
// ZeroMQ holds the handshake's own commands to the maximum message size too: below this, no
// producer could connect, so smaller limits are kept by the queue itself.
constexpr std::size_t min_transport_limit = 1024;

int receive_hwm(std::size_t max_record_size) {
    const std::size_t messages = connection_buffer_bytes / max_record_size;
    return static_cast<int>(std::clamp<std::size_t>(messages, min_receive_hwm, INT_MAX));
}

// Descriptors held beyond which producers are turned away: the descriptor limit less a reserve
// for the files the daemon opens later and for the connections ZeroMQ accepts before their
// handshake reaches admission.
std::size_t connection_cap(rlim_t limit) {
    const rlim_t reserve = std::clamp<rlim_t>(limit / 2, 64, 1024);
    return limit > reserve ? static_cast<std::size_t>(limit - reserve) : 1;
}

rlim_t descriptor_limit() {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0 || limits.rlim_cur == RLIM_INFINITY) {
        return static_cast<rlim_t>(INT_MAX);
    }
    return limits.rlim_cur;
}

void answer(zmq::socket_t& zap, const zmq::message_t& request_id, bool admit) {
    zap.send(zmq::str_buffer("1.0"), zmq::send_flags::sndmore);
    zap.send(zmq::buffer(request_id.data(), request_id.size()), zmq::send_flags::sndmore);
    // 300 is a temporary refusal: the producer's ZeroMQ reconnects later and sends then.
    zap.send(admit ? zmq::str_buffer("200") : zmq::str_buffer("300"), zmq::send_flags::sndmore);
    zap.send(zmq::str_buffer(""), zmq::send_flags::sndmore);
    zap.send(zmq::str_buffer(""), zmq::send_flags::sndmore);
    zap.send(zmq::str_buffer(""), zmq::send_flags::none);
}

// The descriptors the process holds now, one for each connection among them. Read afresh at
// each handshake rather than kept from a socket monitor's events, which ZeroMQ drops once
// more are waiting than its queue holds: a count that missed disconnections would turn every
// producer away for good.
std::size_t open_descriptors() {
    std::error_code ignored;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator entry("/proc/self/fd", ignored), end; entry != end;
         entry.increment(ignored)) {
        ++count;
    }
    return count;
}

// Answers each handshake, until the context is shut down.
void admit_producers(zmq::socket_t zap, rlim_t limit) {
    const std::size_t cap = connection_cap(limit);
    bool refusing = false;
    try {
        for (;;) {
            std::vector<zmq::message_t> request;
            do {
                request.emplace_back();
                (void)zap.recv(request.back(), zmq::recv_flags::none);
            } while (request.back().more());
            const std::size_t open = open_descriptors();
            const bool admit = open <= cap;
            if (!admit && !refusing) {
                spdlog::warn(
                    "Refusing producers: {} connections open, the most the descriptor "
                    "limit of {} allows",
                    open, limit);
            }
            refusing = !admit;
            answer(zap, request.size() > 1 ? request[1] : request[0], admit);
        }
    } catch (const zmq::error_t& error) {
        if (error.num() != ETERM) {
            spdlog::error("Producer admission stopped: {}", error.what());
        }
    }
}

}  // namespace

zmq_message_queue::zmq_message_queue(const std::string& endpoint, std::size_t max_record_size)
    : socket(context, zmq::socket_type::pull), record_limit(max_record_size) {
    try {
        socket.set(zmq::sockopt::maxmsgsize,
                   static_cast<std::int64_t>(std::max(max_record_size, min_transport_limit)));
        socket.set(zmq::sockopt::rcvhwm, receive_hwm(max_record_size));
        socket.set(zmq::sockopt::zap_domain, "velmoeventsd");
        zmq::socket_t zap(context, zmq::socket_type::rep);
        zap.bind(zap_endpoint);
        admission = std::jthread(admit_producers, std::move(zap), descriptor_limit());
        // Exactly one inherited socket is ours; with more, none can be told apart, so none is
        // used.
        if (sd_listen_fds(0) == 1) {
            socket.set(zmq::sockopt::use_fd, SD_LISTEN_FDS_START);
        }
        socket.bind(endpoint);
    } catch (...) {
        // Ends the admission thread before it is joined.
        context.shutdown();
        throw;
    }
    spdlog::debug("message_queue: listen to {}", endpoint);
}

zmq_message_queue::~zmq_message_queue() {
    shutdown();
    if (admission.joinable()) {
        admission.join();
    }
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

void zmq_message_queue::receive_batch(message_batch& batch) {
    zmq::message_t message;
    auto flags = zmq::recv_flags::none;
    try {
        while (!batch.full() && socket.recv(message, flags)) {
            if (message.size() <= record_limit) {
                batch.add(message.data(), message.size());
            } else {
                spdlog::error("Refused a record of {} bytes, larger than {}", message.size(),
                              record_limit);
            }
            flags = zmq::recv_flags::dontwait;
        }
    } catch (const zmq::error_t& error) {
        spdlog::error("failed to receive message: {}", error.what());
    }
}

void zmq_message_queue::shutdown() { context.shutdown(); }
