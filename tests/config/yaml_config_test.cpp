#include "config/yaml_config.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include "support/support.hpp"

TEST(yaml_config, values_come_back_as_text_and_anything_else_gives_the_default) {
    auto log = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(1000);
    auto logger = std::make_shared<spdlog::logger>("test", log);
    logger->set_level(spdlog::level::debug);
    spdlog::set_default_logger(logger);
    // The text, or "" for the default; whether a debug line tells why.
    const std::vector<std::tuple<std::string, std::string, bool>> cases{
        {"queue: {endpoint: 5555}\n", "5555", false},
        {"queue: {endpoint: 'a b'}\n", "a b", false},
        {"", "", false},
        {"~\n", "", false},
        {"queue:\n", "", false},
        {"queue: {endpoint: null}\n", "", false},
        {"queue: [a, b]\n", "", false},
        {"queue: text\n", "", true},
        {"queue: {endpoint: [1, 2]}\n", "", true},
        {"just a scalar\n", "", true}};
    for (const auto& [text, value, reported] : cases) {
        test::temp_dir dir;
        test::write_file(dir / "config.yaml", text);
        yaml_config config;
        config.load(dir / "config.yaml");
        const std::size_t before = log->last_raw().size();
        EXPECT_EQ(config.get<std::string>({"queue", "endpoint"}, ""), value) << text;
        // A lookup walks a copy: a second one finds the document unchanged.
        EXPECT_EQ(config.get<std::string>({"queue", "endpoint"}, ""), value) << text;
        EXPECT_EQ(log->last_raw().size() - before, reported ? 2U : 0U) << text;
    }
}
