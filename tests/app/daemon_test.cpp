// The real binaries end to end: command line, start-up, serving, stopping, velmoevents-send.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <map>

#include "support/support.hpp"

using namespace test;

namespace {

void expect_in_order(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t at = 0;
    for (const auto& part : parts) {
        at = text.find(part, at);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << part << "\n" << text;
    }
}

// How many of the daemon's calls named `call` acted on its event log, from an strace log.
std::size_t calls_on_log(const std::string& trace, const std::string& call, test::daemon& d) {
    std::size_t found = 0;
    for (const auto& fd : std::filesystem::directory_iterator(
             "/proc/" + std::to_string(d.running().pid()) + "/fd")) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(fd.path(), ignored) == d.output()) {
            const std::string start = call + "(" + fd.path().filename().string();
            found += count(trace, start + ",") + count(trace, start + ")");
        }
    }
    return found;
}

// The service manager's end of NOTIFY_SOCKET.
struct notify_socket {
    explicit notify_socket(const std::filesystem::path& where) : path(where) {
        sockaddr_un address{AF_UNIX, {}};
        path.string().copy(address.sun_path, sizeof address.sun_path - 1);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~notify_socket() { ::close(fd); }
    std::vector<std::string> launcher() const {
        return {"/usr/bin/env", "NOTIFY_SOCKET=" + path.string()};
    }
    // The next message, or "" when none comes in time.
    std::string next(std::chrono::milliseconds timeout = 5s) const {
        pollfd ready{fd, POLLIN, 0};
        char message[4096];
        const ssize_t size = ::poll(&ready, 1, static_cast<int>(timeout.count())) == 1
                                 ? ::recv(fd, message, sizeof message, 0)
                                 : 0;
        return std::string(message, static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
    }
    std::filesystem::path path;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

}  // namespace

TEST(daemon, serves_byte_exact_records_stops_in_order_and_appends_after_a_restart) {
    test::daemon d;
    const std::string large(300000, 'L');
    std::string expected;
    for (int signal_number : {SIGTERM, SIGINT}) {
        ASSERT_TRUE(d.start()) << d.running().output();
        expected += "first\n" + std::string("with\0nul\n", 9) + "\n" + large +
                    "\none frame\nof three\nparts\n";
        producer p(d.endpoint());
        p.send("first");
        p.send(std::string("with\0nul", 8));
        p.send("");
        p.send(large);
        p.send("one frame", true);
        p.send("of three", true);
        p.send("parts");
        d.wait_for_records(split_records(expected).size());
        EXPECT_EQ(d.stop(signal_number), 0);
        EXPECT_TRUE(read_file(d.output()) == expected);
        const std::string config = d.config().string();
        expect_in_order(
            d.running().output(),
            {"[info] Starting service", "[info] Using config file: " + config,
             "[info] Config loaded: " + config, "[info] Log level: info", "[info] Started",
             "[info] Output file: " + d.output().string(), "[info] Service ready",
             "[info] Received signal " + std::to_string(signal_number) + ", shutting down",
             "[info] Stopped", "[info] Records written: 7, failed: 0"});
    }
}

TEST(daemon, concurrent_producers_keep_their_order_and_lose_nothing) {
    test::daemon d;
    ASSERT_TRUE(d.start());
    std::vector<std::unique_ptr<producer>> producers;
    std::vector<std::thread> threads;
    for (int p = 0; p < 4; ++p) {
        producers.push_back(std::make_unique<producer>(d.endpoint()));
        threads.emplace_back([&, p] {
            for (int i = 0; i < 20000; ++i) {
                producers[static_cast<std::size_t>(p)]->send(std::to_string(p) + ":" +
                                                             std::to_string(i));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto records = d.wait_for_records(80000);
    EXPECT_EQ(d.stop(SIGTERM), 0);
    ASSERT_EQ(records.size(), 80000U);
    std::map<int, int> next;
    for (const auto& record : records) {
        const int p = std::stoi(record);
        ASSERT_EQ(record, std::to_string(p) + ":" + std::to_string(next[p]++));
    }
}

TEST(daemon, signals_stop_it_in_order_or_at_once) {
    struct signal_case {
        std::vector<int> signals;
        std::vector<int> statuses;
    };
    for (const auto& c : {signal_case{{SIGTERM}, {0}}, signal_case{{SIGINT, SIGINT}, {0, 130}},
                          signal_case{{SIGHUP}, {129}}}) {
        test::daemon d;
        ASSERT_TRUE(d.start());
        producer flood(d.endpoint());
        flood.flood([](int i) { return std::to_string(i); });
        d.wait_for_records(1000);
        for (int number : c.signals) {
            d.running().signal(number);
        }
        const int status = d.running().wait();
        flood.stop();
        EXPECT_NE(std::find(c.statuses.begin(), c.statuses.end(), status), c.statuses.end());
        EXPECT_TRUE(status != 129 || !contains(d.running().output(), "Stopped"));
        // In order, with none missing before the last; whole after an orderly stop.
        const std::string content = read_file(d.output());
        EXPECT_TRUE(status != 0 || content.back() == '\n');
        const auto records = split_records(content);
        for (std::size_t i = 0; i < records.size(); ++i) {
            ASSERT_EQ(records[i], std::to_string(i));
        }
    }
    // A signal just after "Service ready", before the wait is in place, is still orderly.
    for (int round = 0; round < 20; ++round) {
        test::daemon d;
        ASSERT_TRUE(d.start());
        EXPECT_EQ(d.stop(round % 2 == 0 ? SIGTERM : SIGINT), 0) << d.running().output();
    }
}

TEST(daemon, command_lines_and_configurations_it_cannot_use_are_one_fatal_error) {
    temp_dir dir;
    write_file(dir / "syntax.yaml", "queue: [1,\n");
    write_file(dir / "binary.yaml", std::string("\0\1\2binary", 9));
    std::filesystem::create_directory(dir / "folder");
    const std::string missing = (dir / "missing.yaml").string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--bogus"}, "[critical] Fatal error: "},
        {{"--config"}, "[critical] Fatal error: "},
        {{"-c", "a", "--config", "b"}, "[critical] Fatal error: "},
        {{"-c", missing}, "[error] Config file not found: " + missing},
        {{"-c", missing}, "[critical] Fatal error: Config file not found: " + missing},
        {{"-c", (dir / "syntax.yaml").string()}, "[error] YAML parse error: "},
        {{"-c", (dir / "binary.yaml").string()}, "[error] YAML parse error: "},
        {{"-c", (dir / "folder").string()}, "[error] YAML parse error: "}};
    for (auto [args, expected] : cases) {
        args.insert(args.begin(), VELMOEVENTSD_PATH);
        std::string output;
        EXPECT_EQ(run(args, output), 1) << output;
        EXPECT_TRUE(contains(output, expected) && contains(output, "[critical] Fatal error: "))
            << output;
        EXPECT_EQ(contains(output, "Starting service"), args.size() == 3U && args[1] == "-c");
    }
    // An endpoint it cannot bind: no thread left, no log created.
    test::daemon unbindable;
    write_file(unbindable.config(),
               "queue: {endpoint: 'ipc://" + (dir / "no" / "q").string() +
                   "'}\nconsumer: {output_file: " + unbindable.output().string() + "}\n");
    EXPECT_FALSE(unbindable.start());
    EXPECT_EQ(unbindable.running().wait(), 1);
    EXPECT_TRUE(contains(unbindable.running().output(), "[critical] Fatal error: "));
    EXPECT_FALSE(std::filesystem::exists(unbindable.output().parent_path()));
    // A log it cannot protect: the service stops first; under level off nothing is said.
    for (const std::string level : {"info", "Info"}) {
        test::daemon refused;
        refused.configure("log_level: " + level + "\n");
        std::filesystem::create_directories(refused.output());
        EXPECT_FALSE(refused.start());
        EXPECT_EQ(refused.running().wait(), 1);
        if (level == "info") {
            expect_in_order(refused.running().output(),
                            {"[info] Started", "[info] Stopped",
                             "[critical] Fatal error: output path is not a regular file: " +
                                 refused.output().string()});
        } else {
            EXPECT_TRUE(contains(refused.running().output(), "[info] Log level: off\n"));
            EXPECT_FALSE(contains(refused.running().output(), "Fatal error"));
        }
    }
}

TEST(daemon, help_log_levels_prefixes_and_the_system_defaults) {
    for (const char* help : {"--help", "-h"}) {
        std::string output;
        EXPECT_EQ(run({VELMOEVENTSD_PATH, "-c", "/nonexistent", help}, output), 0);
        EXPECT_EQ(output.rfind("Allowed options:\n", 0), 0U) << output;
        EXPECT_TRUE(contains(output, "(=/etc/velmoeventsd/config.yaml)"));
    }
    for (const auto& [written, reported] : std::vector<std::pair<std::string, std::string>>{
             {"warn", "warning"}, {"Info", "off"}, {"~", "info"}, {"''", "off"}}) {
        test::daemon d;
        d.configure("log_level: " + written + "\n");
        process child({VELMOEVENTSD_PATH, "stray-word", "--conf", d.config().string()});
        // Written under the level in force before it, so it shows even for off.
        EXPECT_TRUE(child.wait_for_output("[info] Log level: " + reported + "\n")) << written;
        EXPECT_EQ(child.wait_for_output("Service ready", reported == "info" ? 10s : 300ms),
                  reported == "info");
    }
    // The default endpoint and log under private copies of /run and /var/log.
    test::daemon d;
    std::filesystem::create_directories(d.folder() / "run");
    std::filesystem::create_directories(d.folder() / "var-log");
    write_file(d.config(), "log_level: debug\nqueue: text\nconsumer: [a, b]\n");
    ASSERT_TRUE(
        d.start({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                 "mount --bind " + (d.folder() / "run").string() + " /run && mount --bind " +
                     (d.folder() / "var-log").string() + " /var/log && exec \"$0\" \"$@\""}))
        << d.running().output();
    EXPECT_EQ(d.stop(SIGTERM), 0);
    const auto& output = d.running().output();
    EXPECT_TRUE(contains(output, "[debug] message_queue: listen to ipc:///var/run/velmoeventsd"));
    EXPECT_TRUE(contains(output, "[debug] Error reading config path: "));
    EXPECT_TRUE(contains(output, "[info] Output file: /var/log/velmo-events.log"));
    EXPECT_TRUE(std::filesystem::exists(d.folder() / "var-log" / "velmo-events.log"));
}

TEST(daemon, socket_activation_keeps_what_producers_sent_before_the_start) {
    // With one inherited socket it is adopted; with two, none is, and the endpoint is bound.
    for (const int inherited : {1, 2}) {
        test::daemon d;
        const auto activated = d.folder() / (inherited == 1 ? "events.sock" : "other.sock");
        std::vector<std::string> launcher{"/usr/bin/systemd-socket-activate", "-l",
                                          activated.string()};
        if (inherited == 2) {
            launcher.insert(launcher.end(), {"-l", (d.folder() / "third.sock").string()});
        }
        launcher.insert(launcher.end(), {VELMOEVENTSD_PATH, "--config", d.config().string()});
        process activator(launcher);
        ASSERT_TRUE(activator.wait_for_output("Listening on")) << activator.output();
        if (inherited == 2) {
            // A first connection to either makes the activator start the daemon.
            sockaddr_un address{AF_UNIX, {}};
            activated.string().copy(address.sun_path, sizeof address.sun_path - 1);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            ASSERT_TRUE(activator.wait_for_output("Service ready")) << activator.output();
            ::close(fd);
        }
        producer early(d.endpoint());
        for (int i = 0; i < 1000; ++i) {
            early.send("early " + std::to_string(i));
        }
        const auto records = d.wait_for_records(1000);
        ASSERT_TRUE(activator.wait_for_output("Service ready"));
        activator.signal(SIGTERM);
        EXPECT_EQ(activator.wait(), 0) << activator.output();
        ASSERT_EQ(records.size(), 1000U);
        EXPECT_EQ(records.back(), "early 999");
    }
}

TEST(daemon, waiting_records_go_out_in_groups_and_a_lone_one_at_once) {
    for (const std::string sync : {"", ", sync: true"}) {
        test::daemon d;
        d.configure("", "", sync);
        ASSERT_TRUE(d.start());
        const auto trace = d.folder() / "trace";
        process strace({"/usr/bin/strace", "-f", "-e", "trace=writev,fdatasync", "-o",
                        trace.string(), "-p", std::to_string(d.running().pid())});
        ASSERT_TRUE(strace.wait_for_output("attached")) << strace.output();
        producer p(d.endpoint());
        for (int i = 0; i < 50000; ++i) {
            p.send(std::string(64, 'b'));
        }
        ASSERT_EQ(d.wait_for_records(50000).size(), 50000U);
        // No timer holds a record back when nothing else is waiting.
        for (std::size_t i = 1; i <= 20; ++i) {
            p.send("lone");
            EXPECT_EQ(d.wait_for_records(50000 + i, 500ms).size(), 50000 + i);
        }
        strace.signal(SIGINT);
        strace.wait();
        const std::string traced = read_file(trace);
        const auto writes = calls_on_log(traced, "writev", d);
        const auto syncs = calls_on_log(traced, "fdatasync", d);
        EXPECT_EQ(d.stop(SIGTERM), 0);
        EXPECT_GE(writes, 20U);
        EXPECT_LE(writes, 50000U / 8 + 20) << sync;
        EXPECT_TRUE(sync.empty() ? syncs == 0 : syncs >= 1 && syncs <= 5020) << syncs;
    }
}

TEST(daemon, tells_the_service_manager_when_it_is_ready_serving_and_stopping) {
    test::daemon d;
    notify_socket manager(d.folder() / "notify.sock");
    ASSERT_TRUE(d.start(manager.launcher()));
    EXPECT_EQ(manager.next(), "READY=1");
    EXPECT_TRUE(append_only(d.output()));
    const std::string status = "STATUS=Writing to " + d.output().string() + ": ";
    EXPECT_EQ(manager.next(), status + "0 records written");
    producer p(d.endpoint());
    for (int i = 0; i < 1234; ++i) {
        p.send("record " + std::to_string(i));
    }
    d.wait_for_records(1234);
    std::string message = manager.next();
    while (!message.empty() && message != status + "1234 records written") {
        message = manager.next();  // a count taken while the records were coming in
    }
    EXPECT_EQ(message, status + "1234 records written");
    d.running().signal(SIGTERM);
    EXPECT_EQ(manager.next(), "STOPPING=1");
    EXPECT_EQ(d.running().wait(), 0);
    expect_in_order(d.running().output(), {"[info] Stopped", "Records written: 1234, failed: 0"});
    // A start that fails never says it is ready.
    test::daemon refused;
    notify_socket refused_manager(refused.folder() / "notify.sock");
    std::filesystem::create_directories(refused.output());
    EXPECT_FALSE(refused.start(refused_manager.launcher()));
    EXPECT_EQ(refused.running().wait(), 1);
    EXPECT_EQ(refused_manager.next(100ms), "");
}

TEST(velmoevents_send, delivers_arguments_and_lines_and_fails_clearly) {
    test::daemon d;
    d.configure("", ", max_record_size: 20");
    ASSERT_TRUE(d.start());
    std::string output;
    EXPECT_EQ(run({VELMOEVENTS_SEND_PATH, "-e", d.endpoint(), "first event", "", "third"}, output),
              0)
        << output;
    write_file(d.folder() / "lines", "line one\n\nlast without newline");
    EXPECT_EQ(
        run({VELMOEVENTS_SEND_PATH, "--config", d.config().string()}, output, d.folder() / "lines"),
        0);
    EXPECT_EQ(
        run({VELMOEVENTS_SEND_PATH, "-c", d.config().string(), "fits", "twenty-one bytes long"},
            output),
        1);
    EXPECT_EQ(output,
              "velmoevents-send: event 2 is larger than the daemon takes; 1 sent before it\n");
    // Under ZeroMQ's own floor for the limit, the daemon drops the record and keeps the link.
    producer direct(d.endpoint());
    direct.send("twenty-one bytes long");
    direct.send("kept");
    const auto records = d.wait_for_records(8);
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_EQ(records, (std::vector<std::string>{"first event", "", "third", "line one", "",
                                                 "last without newline", "fits", "kept"}));
    EXPECT_TRUE(contains(d.running().output(), "Refused a record of 21 bytes, larger than 20"));
    const std::string nobody = "ipc://" + (d.folder() / "nobody.sock").string();
    EXPECT_EQ(run({VELMOEVENTS_SEND_PATH, "-e", nobody, "--timeout", "0.5", "lost"}, output), 1);
    EXPECT_EQ(output.rfind("velmoevents-send: no daemon took the event within 0.5 s", 0), 0U);
    EXPECT_EQ(count(output, "\n"), 1U);
    EXPECT_EQ(run({VELMOEVENTS_SEND_PATH, "-c", "/nonexistent.yaml", "x"}, output), 1);
    EXPECT_EQ(output, "velmoevents-send: Config file not found: /nonexistent.yaml\n");
    EXPECT_EQ(run({VELMOEVENTS_SEND_PATH, "-e", "not an endpoint", "x"}, output), 1);
    EXPECT_EQ(run({VELMOEVENTS_SEND_PATH, "--bogus"}, output), 2);
}
