// Any bytes as a configuration file: loading either succeeds or throws one of the documented
// exceptions, and every lookup then answers without throwing, the same each time.
#include "config/yaml_config.hpp"
#include "support/support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const test::temp_dir dir;
    spdlog::set_level(spdlog::level::off);
    test::write_file(dir / "config.yaml", std::string(data, data + size));
    yaml_config config;
    try {
        config.load(dir / "config.yaml");
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
