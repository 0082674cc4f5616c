#include "messaging/zmq_message_queue.hpp"

#include <arpa/inet.h>
#include <spdlog/spdlog.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <zmq.hpp>

#include "io/unique_fd.hpp"
#include "messaging/connection_admission.hpp"

struct zmq_message_queue::zmq_parts {
    zmq::context_t context;
    zmq::socket_t socket{context, zmq::socket_type::pull};
};

namespace {

// What one connection may hold unread inside ZeroMQ, at the largest records.
constexpr std::size_t connection_buffer_bytes = std::size_t{256} << 20;
constexpr int min_receive_hwm = 256;
// ZeroMQ holds the handshake's own commands to the maximum message size too: below this, no
// producer could connect, so smaller limits are kept by the queue itself.
constexpr std::size_t min_transport_limit = 1024;
// A connection holds its descriptor from the accept on; one that has not finished its ZeroMQ
// handshake by then is closed. A producer's handshake takes a millisecond, remote ones a few
// round trips.
constexpr int handshake_timeout_ms = 5000;

int receive_hwm(std::size_t max_record_size) {
    const std::size_t messages = connection_buffer_bytes / max_record_size;
    return static_cast<int>(std::clamp<std::size_t>(messages, min_receive_hwm, INT_MAX));
}

std::size_t descriptor_limit() {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0 || limits.rlim_cur == RLIM_INFINITY) {
        return INT_MAX;
    }
    return static_cast<std::size_t>(limits.rlim_cur);
}

// Whether something listens on the socket at `path`: a refused connection leaves a stale one.
bool answers(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;  // ZeroMQ refuses the path itself
    }
    path.copy(address.sun_path, path.size());
    const io::unique_fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe) {
        throw std::system_error(errno, std::generic_category(), "cannot probe endpoint " + path);
    }
    // A full backlog (EAGAIN) is a listener too.
    const int connected =
        ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return connected == 0 || errno == EAGAIN;
}

// ZeroMQ removes whatever is at an ipc path before it binds there: only a socket that no one
// serves on any more may go.
void check_ipc_path(const std::string& endpoint) {
    constexpr std::string_view scheme = "ipc://";
    if (!endpoint.starts_with(scheme)) {
        return;
    }
    const std::string path = endpoint.substr(scheme.size());
    if (path.empty() || path.front() == '@' || path == "*") {
        return;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return;
        }
        throw std::system_error(errno, std::generic_category(), "cannot inspect endpoint " + path);
    }
    if (!S_ISSOCK(info.st_mode)) {
        throw std::runtime_error("endpoint path is not a socket: " + path);
    }
    if (answers(path)) {
        throw std::runtime_error("another daemon is serving on " + endpoint);
    }
}

bool loopback(std::string host) {
    if (host.size() > 2 && host.front() == '[') {
        host = host.substr(1, host.size() - 2);
    }
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 &&
           (IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127));
}

// Only an ipc path has file permissions to say who may connect. `bound` is the endpoint as
// ZeroMQ bound it, with its address resolved.
void warn_about_senders(const std::string& bound) {
    const std::string_view address = std::string_view(bound).substr(bound.find("://") + 3);
    if (bound.starts_with("inproc://") ||
        (bound.starts_with("ipc://") && !address.starts_with('@'))) {
        return;
    }
    if (bound.starts_with("ipc://") ||
        (bound.starts_with("tcp://") &&
         loopback(std::string(address.substr(0, address.rfind(':')))))) {
        spdlog::warn("Endpoint {} has no access control: any local user can write records", bound);
    } else {
        spdlog::warn("Endpoint {} is open to the network: anyone who reaches it can write records",
                     bound);
    }
}

void report(const zmq::error_t& error) {
    // ETERM is the stop itself: the context was shut down to end the receive.
    if (error.num() != ETERM) {
        spdlog::error("failed to receive message: {}", error.what());
    }
}

}  // namespace

zmq_message_queue::zmq_message_queue(const std::string& endpoint, std::size_t max_record_size)
    : parts(std::make_unique<zmq_parts>()), record_limit(max_record_size) {
    auto& socket = parts->socket;
    socket.set(zmq::sockopt::maxmsgsize,
               static_cast<std::int64_t>(std::max(max_record_size, min_transport_limit)));
    socket.set(zmq::sockopt::rcvhwm, receive_hwm(max_record_size));
    socket.set(zmq::sockopt::handshake_ivl, handshake_timeout_ms);
    connection_admission::start(descriptor_limit());
    // Exactly one inherited socket is ours; with more, none can be told apart, so none is used.
    if (sd_listen_fds(0) == 1) {
        socket.set(zmq::sockopt::use_fd, SD_LISTEN_FDS_START);
    } else {
        check_ipc_path(endpoint);
    }
    socket.bind(endpoint);
    warn_about_senders(socket.get(zmq::sockopt::last_endpoint));
    spdlog::debug("message_queue: listen to {}", endpoint);
}

zmq_message_queue::~zmq_message_queue() {
    parts->socket.close();
    parts->context.close();
}

std::optional<std::string> zmq_message_queue::receive(bool wait) {
    try {
        zmq::message_t message;
        auto received =
            parts->socket.recv(message, wait ? zmq::recv_flags::none : zmq::recv_flags::dontwait);
        if (!received) {
            return std::nullopt;
        }
        return std::string(static_cast<const char*>(message.data()), message.size());
    } catch (const zmq::error_t& error) {
        report(error);
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
        while (!batch.full() && parts->socket.recv(message, flags)) {
            if (message.size() <= record_limit) {
                batch.add(message.data(), message.size());
            } else {
                spdlog::error("Refused a record of {} bytes, larger than {}", message.size(),
                              record_limit);
            }
            flags = zmq::recv_flags::dontwait;
        }
    } catch (const zmq::error_t& error) {
        report(error);
    }
}

void zmq_message_queue::shutdown() { parts->context.shutdown(); }
