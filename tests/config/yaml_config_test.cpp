#include "config/yaml_config.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace {

const std::string default_endpoint = "ipc:///var/run/velmoeventsd.socket";

class loaded_config {
public:
    explicit loaded_config(const std::string& text) {
        test::write_file(dir / "config.yaml", text);
        config.load(dir / "config.yaml");
    }
    std::string endpoint() const {
        return config.get<std::string>({"queue", "endpoint"}, default_endpoint);
    }
    const yaml_config& operator*() const { return config; }

private:
    test::temp_dir dir;
    yaml_config config;
};

}  // namespace

TEST(yaml_config, scalar_values_come_back_as_their_text) {
    test::log_capture log;
    loaded_config config(
        "log_level: debug\nqueue:\n  endpoint: 5555\nconsumer: {output_file: 'a b'}\n"
        "flag: yes\n");
    EXPECT_EQ((*config).get<std::string>({"log_level"}, "info"), "debug");
    EXPECT_EQ(config.endpoint(), "5555");
    EXPECT_EQ((*config).get<std::string>({"consumer", "output_file"}, "x"), "a b");
    EXPECT_EQ((*config).get_optional<std::string>({"flag"}), "yes");
    EXPECT_EQ(log.count_prefix("debug:"), 0U);
}

TEST(yaml_config, absent_and_null_values_give_the_default_silently) {
    for (const char* text :
         {"", "# only a comment\n", "~\n", "other: 1\n", "queue:\n", "queue: ~\n",
          "queue:\n  endpoint:\n", "queue: {endpoint: null}\n", "queue: [a, b]\n"}) {
        test::log_capture log;
        loaded_config config(text);
        EXPECT_EQ(config.endpoint(), default_endpoint) << text;
        EXPECT_FALSE((*config).get_optional<std::string>({"queue", "endpoint"})) << text;
        EXPECT_EQ(log.count_prefix("debug:"), 0U) << text;
    }
}

TEST(yaml_config, wrong_shapes_give_the_default_with_one_debug_line) {
    for (const char* text : {"queue: text\n", "queue: {endpoint: [1, 2]}\n",
                             "queue: {endpoint: {a: 1}}\n", "just a scalar\n"}) {
        test::log_capture log;
        loaded_config config(text);
        EXPECT_EQ(config.endpoint(), default_endpoint) << text;
        EXPECT_EQ(log.count_prefix("debug: Error reading config path: "), 1U) << text;
    }
}

TEST(yaml_config, lookups_never_change_the_loaded_document) {
    loaded_config config("log_level: info\n");
    EXPECT_EQ(config.endpoint(), default_endpoint);
    EXPECT_EQ(config.endpoint(), default_endpoint);
    // A walk that inserted keys would leave a null "queue" behind and turn this into a mapping.
    EXPECT_FALSE((*config).get_optional<std::string>({"queue"}));
    EXPECT_EQ((*config).get<std::string>({"log_level"}, "x"), "info");
}

TEST(yaml_config, missing_file_is_logged_and_thrown) {
    test::log_capture log;
    test::temp_dir dir;
    yaml_config config;
    const auto path = dir / "absent.yaml";
    try {
        config.load(path);
        FAIL() << "load succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Config file not found: " + path.string());
    }
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"error: Config file not found: " + path.string()});
}

TEST(yaml_config, unreadable_or_invalid_files_are_parse_errors) {
    test::temp_dir dir;
    std::filesystem::create_directory(dir / "folder");
    test::write_file(dir / "syntax.yaml", "a: [1, 2\nb: c\n");
    test::write_file(dir / "binary.yaml", std::string("\x7f"
                                                      "ELF\x01\x01\0\0 text",
                                                      14));
    for (const char* name : {"folder", "syntax.yaml", "binary.yaml"}) {
        test::log_capture log;
        yaml_config config;
        EXPECT_THROW(config.load(dir / name), YAML::Exception) << name;
        EXPECT_EQ(log.count_prefix("error: YAML parse error: "), 1U) << name;
        EXPECT_EQ(log.lines().size(), 1U) << name;
    }
}
