#include <gtest/gtest.h>

#include <csignal>

#include "support/daemon.hpp"

namespace {

int send(const std::vector<std::string>& args, std::string& output,
         const test::process::options& settings = {}) {
    std::vector<std::string> argv{VELMOEVENTS_SEND_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::run(argv, output, settings);
}

}  // namespace

TEST(velmoevents_send, delivers_arguments_and_standard_input_lines) {
    test::daemon daemon;
    ASSERT_TRUE(daemon.start());
    std::string output;
    EXPECT_EQ(send({"--endpoint", daemon.endpoint(), "first event", "", "third"}, output), 0)
        << output;
    EXPECT_EQ(output, "");
    test::process::options piped;
    piped.standard_input = "line one\nline two\n\nlast without newline";
    EXPECT_EQ(send({"--config", daemon.config().string()}, output, piped), 0) << output;
    auto records = daemon.wait_for_records(7);
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
    EXPECT_EQ(records, (std::vector<std::string>{"first event", "", "third", "line one", "line two",
                                                 "", "last without newline"}));
}

TEST(velmoevents_send, fails_clearly_without_a_daemon) {
    test::temp_dir dir;
    std::string output;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        send({"--endpoint", "ipc://" + (dir / "nobody.sock").string(), "--timeout", "0.5", "lost"},
             output),
        1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(output.rfind("velmoevents-send: no daemon took the event within 0.5 s", 0), 0U)
        << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1);

    EXPECT_EQ(send({"--config", (dir / "missing.yaml").string(), "x"}, output), 1);
    EXPECT_EQ(output,
              "velmoevents-send: Config file not found: " + (dir / "missing.yaml").string() + "\n");
    EXPECT_EQ(send({"--endpoint", "not an endpoint", "x"}, output), 1);
    test::write_file(
        dir / "small.yaml",
        "queue: {endpoint: 'ipc://" + (dir / "nobody.sock").string() + "', max_record_size: 4}\n");
    EXPECT_EQ(send({"--config", (dir / "small.yaml").string(), "12345"}, output), 1);
    EXPECT_EQ(output,
              "velmoevents-send: event 1 is larger than the daemon takes; 0 sent before it\n");
    EXPECT_EQ(send({"--bogus"}, output), 2);
}
