#include "velmoevents.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <yaml-cpp/yaml.h>
#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "config/defaults.hpp"
#include "config/size.hpp"

namespace {

const char* const monitor_endpoint = "inproc://velmoevents-monitor";
constexpr int default_send_timeout_ms = 5000;

using clock_type = std::chrono::steady_clock;

struct settings {
    std::string endpoint = defaults::endpoint;
    std::size_t max_record_size = defaults::max_record_size;
};

// What the daemon's own configuration says, as far as it can be read: a producer library
// never fails for a configuration it cannot read, it takes the defaults.
settings read_configuration() {
    settings found;
    try {
        const YAML::Node queue = YAML::LoadFile(defaults::config_file)["queue"];
        if (queue.IsMap() && queue["endpoint"].IsScalar()) {
            found.endpoint = queue["endpoint"].as<std::string>();
        }
        if (queue.IsMap() && queue["max_record_size"].IsScalar()) {
            const auto size = parse_size(queue["max_record_size"].as<std::string>());
            if (size && *size >= 1) {
                found.max_record_size = static_cast<std::size_t>(*size);
            }
        }
    } catch (const std::exception&) {
    }
    return found;
}

void close_quietly(void* socket) {
    if (socket != nullptr) {
        zmq_close(socket);
    }
}

}  // namespace

struct velmoevents {
    void* context = nullptr;
    void* socket = nullptr;
    void* monitor = nullptr;
    std::size_t max_record_size = defaults::max_record_size;
    int connection = -1;

    // The descriptor of the connection ZeroMQ made last, from its monitor, or -1.
    int current_connection() {
        zmq_msg_t event;
        zmq_msg_init(&event);
        while (zmq_msg_recv(&event, monitor, ZMQ_DONTWAIT) >= 0) {
            std::uint16_t number = 0;
            std::int32_t value = 0;
            if (zmq_msg_size(&event) >= 6) {
                std::memcpy(&number, zmq_msg_data(&event), sizeof number);
                std::memcpy(&value, static_cast<const char*>(zmq_msg_data(&event)) + 2,
                            sizeof value);
            }
            zmq_msg_t address;
            zmq_msg_init(&address);
            zmq_msg_recv(&address, monitor, 0);
            zmq_msg_close(&address);
            if (number == ZMQ_EVENT_CONNECTED) {
                connection = value;
            }
        }
        zmq_msg_close(&event);
        return connection;
    }

    // ZeroMQ's linger only waits until the records are in the kernel. A daemon that is behind
    // stops reading, and a connection closed then is dropped with what the kernel still held
    // for it: so wait until the connection's outgoing queue has stayed empty for a moment.
    bool wait_until_read(clock_type::time_point deadline) {
        const auto settle = std::chrono::milliseconds(20);
        auto empty_since = clock_type::time_point::max();
        while (clock_type::now() < deadline) {
            int unread = 0;
            const int fd = current_connection();
            if (fd >= 0 && ::ioctl(fd, SIOCOUTQ, &unread) == 0 && unread == 0) {
                const auto now = clock_type::now();
                empty_since = std::min(empty_since, now);
                if (now - empty_since >= settle) {
                    return true;
                }
            } else {
                empty_since = clock_type::time_point::max();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    ~velmoevents() {
        close_quietly(monitor);
        close_quietly(socket);
        if (context != nullptr) {
            while (zmq_ctx_term(context) != 0 && errno == EINTR) {
            }
        }
    }
};

extern "C" {

velmoevents* velmoevents_open(const char* endpoint) {
    auto* producer = new (std::nothrow) velmoevents;
    if (producer == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    settings chosen;
    if (endpoint == nullptr) {
        chosen = read_configuration();
    } else {
        chosen.endpoint = endpoint;
    }
    producer->max_record_size = chosen.max_record_size;
    const int immediate = 1;
    const int timeout = default_send_timeout_ms;
    producer->context = zmq_ctx_new();
    if (producer->context == nullptr ||
        (producer->socket = zmq_socket(producer->context, ZMQ_PUSH)) == nullptr ||
        (producer->monitor = zmq_socket(producer->context, ZMQ_PAIR)) == nullptr ||
        // Queue only to a daemon that is really there.
        zmq_setsockopt(producer->socket, ZMQ_IMMEDIATE, &immediate, sizeof immediate) != 0 ||
        zmq_setsockopt(producer->socket, ZMQ_SNDTIMEO, &timeout, sizeof timeout) != 0 ||
        zmq_socket_monitor(producer->socket, monitor_endpoint, ZMQ_EVENT_CONNECTED) != 0 ||
        zmq_connect(producer->monitor, monitor_endpoint) != 0 ||
        zmq_connect(producer->socket, chosen.endpoint.c_str()) != 0) {
        const int error = errno;
        delete producer;
        errno = error;
        return nullptr;
    }
    return producer;
}

int velmoevents_send(velmoevents* producer, const void* record, size_t size) {
    if (producer == nullptr || (record == nullptr && size != 0)) {
        errno = EINVAL;
        return -1;
    }
    if (size > producer->max_record_size) {
        errno = EMSGSIZE;
        return -1;
    }
    return zmq_send(producer->socket, record, size, 0) < 0 ? -1 : 0;
}

int velmoevents_close(velmoevents* producer, int timeout_ms) {
    if (producer == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const auto limit = std::chrono::milliseconds(std::max(timeout_ms, 0));
    bool delivered = producer->wait_until_read(clock_type::now() + limit);
    const int linger = static_cast<int>(limit.count());
    zmq_setsockopt(producer->socket, ZMQ_LINGER, &linger, sizeof linger);
    const auto closing = clock_type::now();
    delete producer;
    // ZeroMQ does not say whether its linger ran out: a close that took it all is a loss.
    delivered = delivered && clock_type::now() - closing < limit;
    if (!delivered) {
        errno = ETIMEDOUT;
        return -1;
    }
    return 0;
}

int velmoevents_set_send_timeout(velmoevents* producer, int timeout_ms) {
    if (producer == nullptr || timeout_ms < -1) {
        errno = EINVAL;
        return -1;
    }
    return zmq_setsockopt(producer->socket, ZMQ_SNDTIMEO, &timeout_ms, sizeof timeout_ms);
}

int velmoevents_set_max_record_size(velmoevents* producer, size_t size) {
    if (producer == nullptr || size == 0) {
        errno = EINVAL;
        return -1;
    }
    producer->max_record_size = size;
    return 0;
}

}  // extern "C"
