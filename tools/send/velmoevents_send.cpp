// velmoevents-send: hands event records to the velmoeventsd daemon, one record per argument
// or, without arguments, one per line of standard input.
#include <spdlog/spdlog.h>
#include <velmoevents.h>

#include <algorithm>
#include <boost/program_options.hpp>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "config/settings.hpp"
#include "config/yaml_config.hpp"

namespace po = boost::program_options;

namespace {

int fail(const std::string& message, int status = 1) {
    std::cerr << "velmoevents-send: " << message << std::endl;
    return status;
}

// Sends every record, then waits until the daemon has read them all. A record over the limit
// is refused before it is sent; what came before it is still delivered.
int deliver(velmoevents* out, const std::string& endpoint, const std::vector<std::string>& records,
            double timeout) {
    std::size_t sent = 0;
    int error = 0;
    auto send_one = [&](const std::string& record) {
        if (velmoevents_send(out, record.data(), record.size()) != 0) {
            error = errno;
            return false;
        }
        ++sent;
        return true;
    };
    if (!records.empty()) {
        for (auto record = records.begin(); record != records.end() && send_one(*record);) {
            ++record;
        }
    } else {
        std::string line;
        while (std::getline(std::cin, line) && send_one(line)) {
        }
    }
    const int timeout_ms = static_cast<int>(timeout * 1000);
    const bool drained = velmoevents_close(out, sent == 0 ? 0 : timeout_ms) == 0;
    if (error == EMSGSIZE) {
        return fail(fmt::format("event {} is larger than the daemon takes; {} sent before it",
                                sent + 1, sent));
    }
    if (error != 0) {
        return fail(fmt::format("no daemon took the event within {} s at {} ({} sent)", timeout,
                                endpoint, sent));
    }
    if (!drained && sent > 0) {
        return fail(
            fmt::format("could not deliver every event within {} s to {}", timeout, endpoint));
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    po::options_description options("Usage: velmoevents-send [options] [RECORD...]\nOptions");
    options.add_options()("help,h", "Show this help message")(
        "endpoint,e", po::value<std::string>(),
        "Daemon endpoint (default: the one in /etc/velmoeventsd/config.yaml)")(
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
        const po::parsed_options parsed =
            po::command_line_parser(argc, argv).options(all).positional(positional).run();
        // An option among the records was most likely meant as one ("-h"): acting on it would
        // send nothing, and sending it would guess.
        bool records_begun = false;
        for (const auto& option : parsed.options) {
            records_begun = records_begun || option.position_key >= 0;
            if (records_begun && option.position_key < 0) {
                return fail(fmt::format("{} comes after the first record; to send it as a "
                                        "record, put -- before the records",
                                        option.original_tokens.front()),
                            2);
            }
        }
        po::store(parsed, variables);
        po::notify(variables);
    } catch (const std::exception& error) {
        std::cerr << "velmoevents-send: " << error.what() << "\n" << options << std::endl;
        return 2;
    }
    if (variables.count("help") != 0) {
        std::cout << options << "\nEach RECORD is one event; without any, each line of standard"
                  << " input is one.\nRecords that begin with - follow --, as in: velmoevents-send"
                  << " -- -h\n";
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
        std::optional<std::string> endpoint;
        std::optional<std::size_t> limit;
        if (variables.count("endpoint") != 0) {
            endpoint = variables["endpoint"].as<std::string>();
        } else if (variables.count("config") != 0) {
            spdlog::set_level(spdlog::level::off);
            yaml_config config;
            config.load(std::filesystem::path(variables["config"].as<std::string>()));
            // Read as the daemon reads it, so both take the same value, or the same default.
            const settings read = read_settings(config);
            endpoint = read.queue.endpoint;
            limit = read.queue.max_record_size;
        }
        std::vector<std::string> records;
        if (variables.count("record") != 0) {
            records = variables["record"].as<std::vector<std::string>>();
        }
        velmoevents* out = velmoevents_open(endpoint ? endpoint->c_str() : nullptr);
        if (out == nullptr) {
            return fail(fmt::format("cannot connect to {}: {}", endpoint.value_or("the daemon"),
                                    std::strerror(errno)));
        }
        velmoevents_set_send_timeout(out, static_cast<int>(timeout * 1000));
        if (limit) {
            velmoevents_set_max_record_size(out, *limit);
        }
        return deliver(out, endpoint.value_or("the configured endpoint"), records, timeout);
    } catch (const std::exception& error) {
        return fail(error.what());
    }
}
