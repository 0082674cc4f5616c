#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <zmq.hpp>

namespace test {

// Sends record(0), record(1), ... from a thread of its own as fast as the endpoint takes them,
// until stopped; a daemon that went away never leaves it hanging. What it has sent stays
// queued for the daemon until the flooder is destroyed.
class flooder {
public:
    flooder(const std::string& endpoint, std::function<std::string(int)> record)
        : socket(context, zmq::socket_type::push) {
        socket.set(zmq::sockopt::sndtimeo, 50);
        socket.set(zmq::sockopt::sndhwm, 16);
        socket.set(zmq::sockopt::linger, 0);
        socket.connect(endpoint);
        thread = std::thread([this, make = std::move(record)] {
            for (int i = 0; running;) {
                const std::string next = make(i);
                if (socket.send(zmq::buffer(next), zmq::send_flags::none)) {
                    sent = ++i;
                }
            }
        });
    }
    ~flooder() { stop(); }
    flooder(const flooder&) = delete;
    flooder& operator=(const flooder&) = delete;

    // Stops sending; returns how many records were sent.
    int stop() {
        running = false;
        if (thread.joinable()) {
            thread.join();
        }
        return sent;
    }

private:
    zmq::context_t context;
    zmq::socket_t socket;
    std::atomic<bool> running{true};
    int sent = 0;
    std::thread thread;
};

}  // namespace test
