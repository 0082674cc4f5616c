#include "config/settings.hpp"

#include <spdlog/spdlog.h>

#include <cctype>
#include <charconv>
#include <limits>

namespace {

std::uint64_t size_setting(const yaml_config& config,
                           std::initializer_list<std::string_view> key_path, std::uint64_t fallback,
                           const char* name) {
    const auto text = config.get_optional<std::string>(key_path);
    if (!text) {
        return fallback;
    }
    if (const auto size = parse_size(*text)) {
        return *size;
    }
    spdlog::warn("Cannot read {} as a size: \"{}\"; using {}", name, *text, fallback);
    return fallback;
}

}  // namespace

std::optional<std::uint64_t> parse_size(const std::string& text) {
    std::uint64_t value = 0;
    const char* const end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || rest == text.data()) {
        return std::nullopt;
    }
    if (rest == end) {
        return value;
    }
    if (rest + 1 != end) {
        return std::nullopt;
    }
    int shift = 0;
    switch (std::toupper(static_cast<unsigned char>(*rest))) {
        case 'K':
            shift = 10;
            break;
        case 'M':
            shift = 20;
            break;
        case 'G':
            shift = 30;
            break;
        default:
            return std::nullopt;
    }
    if (value > (std::numeric_limits<std::uint64_t>::max() >> shift)) {
        return std::nullopt;
    }
    return value << shift;
}

settings read_settings(const yaml_config& config) {
    settings read;
    read.log_level = config.get<std::string>({"log_level"}, read.log_level);

    read.queue.endpoint = config.get<std::string>({"queue", "endpoint"}, read.queue.endpoint);
    const auto record_size = config.get_optional<long long>({"queue", "max_record_size"});
    if (record_size && *record_size < 1) {
        spdlog::debug("Error reading config path: queue.max_record_size must be at least 1");
    } else if (record_size) {
        read.queue.max_record_size = static_cast<std::size_t>(*record_size);
    }

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
