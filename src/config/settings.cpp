#include "config/settings.hpp"

#include <spdlog/spdlog.h>

namespace {

std::uint64_t size_setting(const yaml_config& config,
                           std::initializer_list<std::string_view> key_path, std::uint64_t fallback,
                           const char* name, std::uint64_t minimum = 0) {
    const auto text = config.get_optional<std::string>(key_path);
    if (!text) {
        return fallback;
    }
    if (const auto size = parse_size(*text); size && *size >= minimum) {
        return *size;
    }
    spdlog::warn("Cannot read {} as a size: \"{}\"; using {}", name, *text, fallback);
    return fallback;
}

}  // namespace

settings read_settings(const yaml_config& config) {
    settings read;
    read.log_level = config.get<std::string>({"log_level"}, read.log_level);

    read.queue.endpoint = config.get<std::string>({"queue", "endpoint"}, read.queue.endpoint);
    read.queue.max_record_size =
        size_setting(config, {"queue", "max_record_size"}, read.queue.max_record_size,
                     "queue.max_record_size", 1);

    auto& consumer = read.consumer;
    consumer.output_file =
        config.get<std::string>({"consumer", "output_file"}, consumer.output_file.string());
    consumer.sync = config.get<bool>({"consumer", "sync"}, consumer.sync);
    consumer.max_file_size = size_setting(config, {"consumer", "max_file_size"},
                                          consumer.max_file_size, "consumer.max_file_size");
    consumer.max_archives =
        config.get<std::uint64_t>({"consumer", "max_archives"}, consumer.max_archives);

    read.seal.key_file = config.get<std::string>({"seal", "key_file"}, "");

    auto& forward = read.forward;
    if (auto list = config.get_optional<std::vector<std::string>>({"forward", "nats", "servers"})) {
        forward.servers = std::move(*list);
    } else if (auto one = config.get_optional<std::string>({"forward", "nats", "servers"})) {
        // One server may be written without the brackets of a list.
        forward.servers = {std::move(*one)};
    }
    forward.subject = config.get<std::string>({"forward", "nats", "subject"}, forward.subject);
    forward.creds = config.get<std::string>({"forward", "nats", "creds"}, "");
    forward.tls_ca = config.get<std::string>({"forward", "nats", "tls_ca"}, "");
    forward.state_file =
        config.get<std::string>({"forward", "state_file"}, forward.state_file.string());
    return read;
}
