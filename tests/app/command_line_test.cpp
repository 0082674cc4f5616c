#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/daemon.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace {

struct outcome {
    int status;
    std::string output;
};

outcome run_daemon(std::vector<std::string> args) {
    args.insert(args.begin(), VELMOEVENTSD_PATH);
    outcome result{};
    result.status = test::run(args, result.output);
    return result;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::size_t count_lines(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

TEST(command_line, help_prints_the_options_and_nothing_else) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"--config", "/nonexistent.yaml", "--help"}}) {
        auto result = run_daemon(args);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output.rfind("Allowed options:\n", 0), 0U) << result.output;
        EXPECT_TRUE(contains(result.output, "Show this help message"));
        EXPECT_TRUE(contains(result.output, "(=/etc/velmoeventsd/config.yaml)"));
        EXPECT_FALSE(contains(result.output, "[info]"));
    }
}

TEST(command_line, rejected_command_lines_are_one_fatal_line) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"--bogus"}, {"--config"}, {"--config", "a", "--config", "b"}}) {
        auto result = run_daemon(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(count_lines(result.output, "\n"), 1U) << result.output;
        EXPECT_TRUE(contains(result.output, "[critical] Fatal error: ")) << result.output;
        EXPECT_FALSE(contains(result.output, "Starting service"));
    }
}

TEST(command_line, stray_words_are_ignored_and_prefixes_accepted) {
    test::daemon daemon;
    test::process child({VELMOEVENTSD_PATH, "stray-word", "--conf", daemon.config().string()});
    EXPECT_TRUE(child.wait_for_output("Service ready")) << child.output();
    EXPECT_TRUE(contains(child.output(), "Using config file: " + daemon.config().string()));
}

TEST(command_line, missing_config_is_reported_then_fatal) {
    auto result = run_daemon({"-c", "/nonexistent/velmo.yaml"});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.output, "[error] Config file not found: /nonexistent/velmo.yaml"));
    EXPECT_TRUE(contains(result.output,
                         "[critical] Fatal error: Config file not found: /nonexistent/velmo.yaml"));
    EXPECT_LT(result.output.find("Starting service"), result.output.find("Config file not found"));
}

TEST(command_line, broken_config_files_are_fatal) {
    test::temp_dir dir;
    test::write_file(dir / "syntax.yaml", "queue: [1,\n");
    test::write_file(dir / "binary.yaml", std::string("\0\1\2\3binary", 10));
    test::write_file(dir / "deep.yaml", std::string(100000, '[') + std::string(100000, ']'));
    test::write_file(dir / "unreadable.yaml", "log_level: info\n");
    std::filesystem::create_directory(dir / "folder");
    for (const char* name : {"syntax.yaml", "binary.yaml", "deep.yaml", "folder"}) {
        auto result = run_daemon({"--config", (dir / name).string()});
        EXPECT_EQ(result.status, 1) << name;
        EXPECT_TRUE(contains(result.output, "[error] YAML parse error: ")) << result.output;
        EXPECT_TRUE(contains(result.output, "[critical] Fatal error: ")) << result.output;
    }
    // Root reads any file, so make it unreadable for the unprivileged user the test switches to.
    std::filesystem::permissions(dir / "unreadable.yaml", std::filesystem::perms::none);
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    std::string output;
    int status = test::run({"/usr/sbin/runuser", "-u", "nobody", "--", VELMOEVENTSD_PATH,
                            "--config", (dir / "unreadable.yaml").string()},
                           output);
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(contains(output, "[error] YAML parse error: bad file: ")) << output;
}

TEST(command_line, log_level_names_follow_the_logging_library) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"warn", "warning"}, {"debug", "debug"}, {"Info", "off"}, {"~", "info"}, {"''", "off"}};
    for (const auto& [written, reported] : cases) {
        test::daemon daemon("log_level: " + written + "\n");
        test::process child({VELMOEVENTSD_PATH, "--config", daemon.config().string()});
        EXPECT_TRUE(child.wait_for_output("Log level: ")) << child.output();
        // The line is written under the level in force before it, so it shows even for off.
        EXPECT_TRUE(child.wait_for_output("[info] Log level: " + reported + "\n"))
            << written << "\n"
            << child.output();
        if (reported == "warning" || reported == "off") {
            EXPECT_TRUE(test::wait_for_file(daemon.output()));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_FALSE(contains(child.output(), "Service ready")) << child.output();
        }
    }
}

TEST(command_line, level_off_hides_even_the_fatal_error_but_not_the_status) {
    test::daemon daemon("log_level: Info\n");
    std::filesystem::create_directories(daemon.output());
    auto result = run_daemon({"--config", daemon.config().string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.output, "[info] Log level: off\n"));
    EXPECT_FALSE(contains(result.output, "Fatal error")) << result.output;
}
