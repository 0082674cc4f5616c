// Any bytes as a configuration file: loading either succeeds or throws one of the documented
// exceptions, and every lookup then answers without throwing, the same each time.
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>

#include "config/yaml_config.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        spdlog::set_level(spdlog::level::off);
        std::string pattern = "/tmp/velmo-config-fuzz-XXXXXX";
        ::close(::mkstemp(pattern.data()));
        return pattern;
    }();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    yaml_config config;
    try {
        config.load(path);
    } catch (const YAML::Exception&) {
        return 0;
    }
    const auto same = [&](std::initializer_list<std::string_view> key) {
        return config.get<std::string>(key, "d") == config.get<std::string>(key, "d");
    };
    if (!same({"log_level"}) || !same({"queue", "endpoint"}) ||
        !same({"consumer", "output_file"})) {
        std::abort();
    }
    return 0;
}
