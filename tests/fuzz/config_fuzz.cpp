// Any bytes as a configuration file: loading either succeeds or throws one of the documented
// exceptions, and every lookup then answers without throwing.
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "config/yaml_config.hpp"

namespace {

std::string scratch_file() {
    std::string pattern = "/tmp/velmo-config-fuzz-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    ::close(fd);
    spdlog::set_level(spdlog::level::off);
    return pattern;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = scratch_file();
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    yaml_config config;
    try {
        config.load(path);
    } catch (const YAML::Exception&) {
        return 0;
    }
    const std::string level = config.get<std::string>({"log_level"}, "info");
    const std::string endpoint = config.get<std::string>({"queue", "endpoint"}, "e");
    const std::string output = config.get<std::string>({"consumer", "output_file"}, "o");
    // Lookups leave the document as it was: a second round answers the same.
    if (config.get<std::string>({"log_level"}, "info") != level ||
        config.get<std::string>({"queue", "endpoint"}, "e") != endpoint ||
        config.get<std::string>({"consumer", "output_file"}, "o") != output) {
        std::abort();
    }
    return 0;
}
