// velmoevents-send: hands event records to the velmoeventsd daemon, one record per argument
// or, without arguments, one per line of standard input.
#include <linux/sockios.h>
#include <spdlog/spdlog.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <boost/program_options.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>
#include <zmq.hpp>

#include "config/yaml_config.hpp"

namespace po = boost::program_options;

namespace {

const char* const default_endpoint = "ipc:///var/run/velmoeventsd.socket";

int fail(const std::string& message) {
    std::cerr << "velmoevents-send: " << message << std::endl;
    return 1;
}

const char* const monitor_endpoint = "inproc://velmoevents-send-monitor";

class sender {
public:
    sender(const std::string& endpoint, std::chrono::milliseconds timeout)
        : socket(context, zmq::socket_type::push),
          monitor(context, zmq::socket_type::pair),
          target(endpoint),
          limit(timeout) {
        const int milliseconds = static_cast<int>(timeout.count());
        // Queue only to a daemon that is really there, and give up on it after the timeout.
        socket.set(zmq::sockopt::immediate, 1);
        socket.set(zmq::sockopt::sndtimeo, milliseconds);
        socket.set(zmq::sockopt::linger, milliseconds);
        if (zmq_socket_monitor(socket.handle(), monitor_endpoint, ZMQ_EVENT_CONNECTED) != 0) {
            throw zmq::error_t();
        }
        monitor.connect(monitor_endpoint);
        socket.connect(endpoint);
    }

    bool send(const std::string& record) {
        return socket.send(zmq::buffer(record.data(), record.size()), zmq::send_flags::none)
            .has_value();
    }

    // Waits, at most the timeout, until the daemon has read every record. A daemon that is
    // behind stops reading, and if this process closed its connection then, ZeroMQ would
    // drop, unread, what the kernel still held for it: so close only once the connection's
    // outgoing queue has stayed empty for a moment.
    bool finish() {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool delivered = wait_until_read(deadline);
        monitor.close();
        socket.close();
        const auto closing = std::chrono::steady_clock::now();
        context.close();
        // ZeroMQ does not say whether its linger ran out: a close that took it all is a loss.
        delivered = delivered && std::chrono::steady_clock::now() - closing < limit;
        return delivered;
    }

    const std::string& endpoint() const { return target; }

private:
    // The descriptor of the connection ZeroMQ made last, from its monitor, or -1.
    int connection() {
        zmq::message_t event;
        while (monitor.recv(event, zmq::recv_flags::dontwait)) {
            std::uint16_t number = 0;
            std::int32_t value = 0;
            if (event.size() >= 6) {
                std::memcpy(&number, event.data(), sizeof number);
                std::memcpy(&value, static_cast<const char*>(event.data()) + 2, sizeof value);
            }
            zmq::message_t address;
            (void)monitor.recv(address, zmq::recv_flags::none);
            if (number == ZMQ_EVENT_CONNECTED) {
                fd = value;
            }
        }
        return fd;
    }

    bool wait_until_read(std::chrono::steady_clock::time_point deadline) {
        const auto settle = std::chrono::milliseconds(20);
        auto empty_since = std::chrono::steady_clock::time_point::max();
        while (std::chrono::steady_clock::now() < deadline) {
            int unread = 0;
            const int descriptor = connection();
            if (descriptor >= 0 && ::ioctl(descriptor, SIOCOUTQ, &unread) == 0 && unread == 0) {
                const auto now = std::chrono::steady_clock::now();
                empty_since = std::min(empty_since, now);
                if (now - empty_since >= settle) {
                    return true;
                }
            } else {
                empty_since = std::chrono::steady_clock::time_point::max();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    zmq::context_t context;
    zmq::socket_t socket;
    zmq::socket_t monitor;
    std::string target;
    std::chrono::milliseconds limit;
    int fd = -1;
};

int deliver(sender& out, const std::vector<std::string>& records, double timeout) {
    std::size_t sent = 0;
    auto send_one = [&](const std::string& record) {
        if (!out.send(record)) {
            return false;
        }
        ++sent;
        return true;
    };
    bool ok = true;
    if (!records.empty()) {
        for (const auto& record : records) {
            if (!(ok = send_one(record))) {
                break;
            }
        }
    } else {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!(ok = send_one(line))) {
                break;
            }
        }
    }
    if (!ok) {
        return fail(fmt::format("no daemon took the event within {} s at {} ({} sent)", timeout,
                                out.endpoint(), sent));
    }
    if (!out.finish()) {
        return fail(fmt::format("could not deliver every event within {} s to {}", timeout,
                                out.endpoint()));
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    po::options_description options("Usage: velmoevents-send [options] [RECORD...]\nOptions");
    options.add_options()("help,h", "Show this help message")(
        "endpoint,e", po::value<std::string>(),
        (std::string("Daemon endpoint (default ") + default_endpoint + ")").c_str())(
        "config,c", po::value<std::string>(), "Read the endpoint from the daemon's configuration")(
        "timeout,t", po::value<double>()->default_value(5.0),
        "Seconds to wait for the daemon to take the events");
    po::options_description hidden;
    hidden.add_options()("record", po::value<std::vector<std::string>>());
    po::options_description all;
    all.add(options).add(hidden);
    po::positional_options_description positional;
    positional.add("record", -1);

    po::variables_map variables;
    try {
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(),
                  variables);
        po::notify(variables);
    } catch (const std::exception& error) {
        std::cerr << "velmoevents-send: " << error.what() << "\n" << options << std::endl;
        return 2;
    }
    if (variables.count("help") != 0) {
        std::cout << options << "\nEach RECORD is one event; without any, each line of standard"
                  << " input is one.\n";
        return 0;
    }
    const double timeout = variables["timeout"].as<double>();
    if (!(timeout > 0 && timeout <= 3600)) {
        return fail("--timeout takes a number of seconds above 0 and at most 3600");
    }
    if (variables.count("endpoint") != 0 && variables.count("config") != 0) {
        return fail("give --endpoint or --config, not both");
    }

    try {
        std::string endpoint = default_endpoint;
        if (variables.count("endpoint") != 0) {
            endpoint = variables["endpoint"].as<std::string>();
        } else if (variables.count("config") != 0) {
            spdlog::set_level(spdlog::level::off);
            yaml_config config;
            config.load(std::filesystem::path(variables["config"].as<std::string>()));
            endpoint = config.get<std::string>({"queue", "endpoint"}, default_endpoint);
        }
        std::vector<std::string> records;
        if (variables.count("record") != 0) {
            records = variables["record"].as<std::vector<std::string>>();
        }
        sender out(endpoint, std::chrono::milliseconds(static_cast<long>(timeout * 1000)));
        return deliver(out, records, timeout);
    } catch (const std::exception& error) {
        return fail(error.what());
    }
}
