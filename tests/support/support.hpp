#pragma once

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <sstream>
#include <thread>
#include <zmq.hpp>

#include "support/harness.hpp"

// What only the tests use besides the harness: the test framework, a captured log and a producer.
namespace test {

inline std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The default logger's last records, kept to be read back.
inline std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> capture_log() {
    auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(1000);
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("test", sink));
    return sink;
}

// A stream socket connected to `where`, as any local program may open one, that has sent
// `bytes`.
inline int connect_and_send(const path& where, const std::string& bytes) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    where.string().copy(address.sun_path, sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    return fd;
}

// A producer as the daemon's clients write one: a PUSH socket with blocking sends and a
// linger long enough for any test, never one that hangs it. `flood` sends record(0), record(1), ...
// from a thread of its own until `stop` or the limit; then nothing that has not left is waited for.
class producer {
public:
    explicit producer(const std::string& endpoint) {
        socket.set(zmq::sockopt::linger, 20000);
        socket.set(zmq::sockopt::sndhwm, 64);
        socket.connect(endpoint);
    }
    void send(const std::string& message, bool more = false) {
        socket.send(zmq::buffer(message), more ? zmq::send_flags::sndmore : zmq::send_flags::none);
    }
    void flood(const std::function<std::string(int)>& record, int limit = -1) {
        // A daemon that went away never leaves the flood, or the close, hanging.
        socket.set(zmq::sockopt::sndtimeo, 50);
        socket.set(zmq::sockopt::linger, 0);
        thread = std::jthread([this, record, limit](const std::stop_token& stop) {
            while (!stop.stop_requested() && sent != limit) {
                sent += socket.send(zmq::buffer(record(sent))) ? 1 : 0;
            }
        });
    }
    // Stops the flood; returns how many records it sent.
    int stop() {
        thread = {};
        return sent;
    }

private:
    zmq::context_t context;
    zmq::socket_t socket{context, zmq::socket_type::push};
    int sent = 0;
    std::jthread thread;  // the flood, stopped before the socket closes
};

}  // namespace test
