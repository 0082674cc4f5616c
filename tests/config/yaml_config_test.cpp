#include "config/yaml_config.hpp"

#include "support/support.hpp"

TEST(yaml_config, values_come_back_as_text_and_anything_else_gives_the_default) {
    auto log = test::capture_log();
    spdlog::set_level(spdlog::level::debug);
    // The text, or "" for the default; whether a debug line tells why.
    for (const auto& [text, value, reported] :
         std::vector<std::tuple<std::string, std::string, bool>>{
             {"queue: {endpoint: 5555}\n", "5555", false},
             {"queue: {endpoint: 'a b'}\n", "a b", false},
             {"", "", false},
             {"~\n", "", false},
             {"queue:\n", "", false},
             {"queue: {endpoint: null}\n", "", false},
             {"queue: [a, b]\n", "", false},
             {"queue: text\n", "", true},
             {"queue: {endpoint: [1, 2]}\n", "", true},
             {"just a scalar\n", "", true}}) {
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
