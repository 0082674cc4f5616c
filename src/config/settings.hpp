#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "config/defaults.hpp"
#include "config/size.hpp"
#include "config/yaml_config.hpp"

// Every setting of the daemon, each read once from the configuration with its default written
// here and nowhere else.
struct settings {
    std::string log_level = "info";

    struct queue_settings {
        std::string endpoint = defaults::endpoint;
        std::size_t max_record_size = defaults::max_record_size;
    } queue;

    struct consumer_settings {
        std::filesystem::path output_file = "/var/log/velmo-events.log";
        bool sync = false;
        // 0: never rotate.
        std::uint64_t max_file_size = 0;
        // 0: keep every archive.
        std::uint64_t max_archives = 0;
    } consumer;

    struct seal_settings {
        // Empty: the log is not sealed.
        std::filesystem::path key_file;
    } seal;

    struct forward_settings {
        // Empty: nothing is forwarded.
        std::vector<std::string> servers;
        std::string subject = "velmo.events";
        std::filesystem::path creds;
        std::filesystem::path tls_ca;
        std::filesystem::path state_file = "/var/lib/velmoeventsd/forward.state";
    } forward;
};

// Reads every key; a value that is absent, null or of the wrong shape gives the default, and a
// size that does not parse is reported at warning level with the default used.
settings read_settings(const yaml_config& config);
