#pragma once

#include <string>
#include <zmq.hpp>

namespace test {

// A producer as the daemon's clients write one: a PUSH socket connected to the endpoint.
// Blocking sends and an unlimited linger, so whatever it sent is delivered before it closes.
class zmq_producer {
public:
    explicit zmq_producer(const std::string& endpoint) : socket(context, zmq::socket_type::push) {
        socket.set(zmq::sockopt::linger, -1);
        socket.connect(endpoint);
    }
    void send(const std::string& message) {
        socket.send(zmq::buffer(message.data(), message.size()), zmq::send_flags::none);
    }
    void send_more(const std::string& message) {
        socket.send(zmq::buffer(message.data(), message.size()), zmq::send_flags::sndmore);
    }

private:
    zmq::context_t context;
    zmq::socket_t socket;
};

}  // namespace test
