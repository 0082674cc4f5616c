// velmoevents-send: hands event records to the velmoeventsd daemon, one record per argument
// or, without arguments, one per line of standard input.
#include <spdlog/spdlog.h>

#include <boost/program_options.hpp>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
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

class sender {
public:
    sender(const std::string& endpoint, std::chrono::milliseconds timeout)
        : socket(context, zmq::socket_type::push), target(endpoint), limit(timeout) {
        const int milliseconds = static_cast<int>(timeout.count());
        // Queue only to a daemon that is really there, and give up on it after the timeout.
        socket.set(zmq::sockopt::immediate, 1);
        socket.set(zmq::sockopt::sndtimeo, milliseconds);
        socket.set(zmq::sockopt::linger, milliseconds);
        socket.connect(endpoint);
    }

    bool send(const std::string& record) {
        return socket.send(zmq::buffer(record.data(), record.size()), zmq::send_flags::none)
            .has_value();
    }

    // Waits, at most the timeout, until every record has left this process. ZeroMQ does not
    // say whether its linger ran out, so a close that took the whole linger counts as a loss.
    bool finish() {
        const auto start = std::chrono::steady_clock::now();
        socket.close();
        context.close();
        return std::chrono::steady_clock::now() - start < limit;
    }

    const std::string& endpoint() const { return target; }

private:
    zmq::context_t context;
    zmq::socket_t socket;
    std::string target;
    std::chrono::milliseconds limit;
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
