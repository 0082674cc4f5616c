// The real binaries end to end: command line, start-up, serving, stopping, velmoevents-send.
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

// The next message on the service manager's end of NOTIFY_SOCKET, or "" when none comes.
std::string notification(int fd, std::chrono::milliseconds timeout = 5s) {
    pollfd ready{fd, POLLIN, 0};
    char message[4096];
    const ssize_t size = ::poll(&ready, 1, static_cast<int>(timeout.count())) == 1
                             ? ::recv(fd, message, sizeof message, 0)
                             : 0;
    return std::string(message, static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
}

}  // namespace

TEST(daemon, serves_byte_exact_records_tells_the_service_manager_and_stops_in_order) {
    test::daemon d;
    const int manager = unix_socket(d.folder() / "notify.sock", SOCK_DGRAM, true);
    const std::string large(300000, 'L'), status = "STATUS=Writing to " + d.output().string();
    std::string expected;
    // Stopped by each signal in turn, the second start appending to the first one's log.
    for (int signal_number : {SIGTERM, SIGINT}) {
        ASSERT_TRUE(
            d.start({"/usr/bin/env", "NOTIFY_SOCKET=" + (d.folder() / "notify.sock").string()}))
            << d.running().output();
        EXPECT_EQ(notification(manager), "READY=1");
        EXPECT_TRUE(append_only(d.output()));
        EXPECT_EQ(notification(manager), status + ": 0 records written");
        expected += "first\n" + std::string("with\0nul\n", 9) + "\n" + large +
                    "\none frame\nof three\nparts\n";
        producer p(d.endpoint());
        for (const std::string& record : {"first"s, "with\0nul"s, ""s, large}) p.send(record);
        p.send("one frame", true);
        p.send("of three", true);
        p.send("parts");
        d.wait_for_records(split_records(expected).size());
        std::string message = notification(manager);
        while (!message.empty() && message != status + ": 7 records written") {
            message = notification(manager);  // a count taken while the records came in
        }
        EXPECT_EQ(message, status + ": 7 records written");
        d.running().signal(signal_number);
        EXPECT_EQ(notification(manager), "STOPPING=1");
        EXPECT_EQ(d.running().wait(), 0);
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
    ::close(manager);
}

TEST(daemon, signals_stop_it_in_order_or_at_once) {
    // The signals sent during a flood, and the exit statuses each may give.
    for (const auto& [signals, statuses] : std::vector<std::pair<std::vector<int>, std::set<int>>>{
             {{SIGTERM}, {0}}, {{SIGINT, SIGINT}, {0, 130}}, {{SIGHUP}, {129}}}) {
        test::daemon d;
        ASSERT_TRUE(d.start());
        producer flood(d.endpoint());
        flood.flood([](int i) { return std::to_string(i); });
        d.wait_for_records(1000);
        for (int number : signals) d.running().signal(number);
        const int status = d.running().wait();
        flood.stop();
        EXPECT_TRUE(statuses.count(status)) << status;
        EXPECT_TRUE(status != 129 || !contains(d.running().output(), "Stopped"));
        // In order, with none missing before the last; whole after an orderly stop.
        const std::string content = read_file(d.output());
        EXPECT_TRUE(status != 0 || content.back() == '\n');
        const auto records = split_records(content);
        for (std::size_t i = 0; i < records.size(); ++i) ASSERT_EQ(records[i], std::to_string(i));
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
    const std::string missing = (dir / "missing.yaml").string(), fatal = "[critical] Fatal error: ";
    for (auto [args, expected] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--bogus"}, fatal},
             {{"--config"}, fatal},
             {{"-c", "a", "--config", "b"}, fatal},
             {{"-c", missing}, "[error] Config file not found: " + missing},
             {{"-c", missing}, fatal + "Config file not found: " + missing},
             {{"-c", (dir / "syntax.yaml").string()}, "[error] YAML parse error: "},
             {{"-c", (dir / "binary.yaml").string()}, "[error] YAML parse error: "},
             {{"-c", (dir / "folder").string()}, "[error] YAML parse error: "}}) {
        args.insert(args.begin(), VELMOEVENTSD_PATH);
        std::string output;
        EXPECT_EQ(run(args, output), 1) << output;
        EXPECT_TRUE(contains(output, expected) && contains(output, fatal)) << output;
        EXPECT_EQ(contains(output, "Starting service"), args.size() == 3U && args[1] == "-c");
    }
    // An endpoint it cannot bind: no log created.
    test::daemon unbindable;
    write_file(unbindable.config(),
               "queue: {endpoint: 'ipc://" + (dir / "no" / "q").string() +
                   "'}\nconsumer: {output_file: " + unbindable.output().string() + "}\n");
    EXPECT_FALSE(unbindable.start());
    EXPECT_EQ(unbindable.running().wait(), 1);
    EXPECT_TRUE(contains(unbindable.running().output(), fatal));
    EXPECT_FALSE(std::filesystem::exists(unbindable.output().parent_path()));
    // A log it cannot protect: the service stops first, and the service manager never hears
    // it is ready; under level off nothing is said.
    for (const std::string level : {"info", "Info"}) {
        test::daemon refused;
        refused.configure("log_level: " + level + "\n");
        std::filesystem::create_directories(refused.output());
        const int manager = unix_socket(refused.folder() / "notify.sock", SOCK_DGRAM, true);
        EXPECT_FALSE(refused.start(
            {"/usr/bin/env", "NOTIFY_SOCKET=" + (refused.folder() / "notify.sock").string()}));
        EXPECT_EQ(refused.running().wait(), 1);
        EXPECT_EQ(notification(manager, 100ms), "");
        ::close(manager);
        if (level == "info") {
            expect_in_order(
                refused.running().output(),
                {"[info] Started", "[info] Stopped",
                 fatal + "output path is not a regular file: " + refused.output().string()});
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
    const std::string run = (d.folder() / "run").string(), log = (d.folder() / "var-log").string();
    std::filesystem::create_directories(run);
    std::filesystem::create_directories(log);
    write_file(d.config(), "log_level: debug\nqueue: text\nconsumer: [a, b]\n");
    ASSERT_TRUE(d.start({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                         "mount --bind " + run + " /run && mount --bind " + log +
                             " /var/log && exec \"$0\" \"$@\""}))
        << d.running().output();
    EXPECT_EQ(d.stop(SIGTERM), 0);
    const auto& output = d.running().output();
    EXPECT_TRUE(contains(output, "[debug] message_queue: listen to ipc:///var/run/velmoeventsd"));
    EXPECT_TRUE(contains(output, "[debug] Error reading config path: "));
    EXPECT_TRUE(contains(output, "[info] Output file: /var/log/velmo-events.log"));
    EXPECT_TRUE(std::filesystem::exists(log + "/velmo-events.log"));
}

TEST(daemon, socket_activation_keeps_what_producers_sent_before_the_start) {
    // With one inherited socket it is adopted; with two, none is, and the endpoint is bound.
    for (const int inherited : {1, 2}) {
        test::daemon d;
        const auto activated = d.folder() / (inherited == 1 ? "events.sock" : "other.sock");
        std::vector<std::string> launcher{"/usr/bin/systemd-socket-activate", "-l",
                                          activated.string()};
        if (inherited == 2) launcher.insert(launcher.end(), {"-l", d.folder() / "third.sock"});
        launcher.insert(launcher.end(), {VELMOEVENTSD_PATH, "--config", d.config().string()});
        process activator(launcher);
        ASSERT_TRUE(activator.wait_for_output("Listening on")) << activator.output();
        if (inherited == 2) {
            // A first connection to either makes the activator start the daemon.
            const int fd = unix_socket(activated, SOCK_STREAM, false);
            ASSERT_TRUE(activator.wait_for_output("Service ready")) << activator.output();
            ::close(fd);
        }
        producer early(d.endpoint());
        for (int i = 0; i < 1000; ++i) early.send("early " + std::to_string(i));
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
        const std::string pid = std::to_string(d.running().pid()), trace = d.folder() / "trace";
        process strace(
            {"/usr/bin/strace", "-f", "-e", "trace=writev,fdatasync", "-o", trace, "-p", pid});
        ASSERT_TRUE(strace.wait_for_output("attached")) << strace.output();
        producer p(d.endpoint());
        for (int i = 0; i < 50000; ++i) p.send(std::string(64, 'b'));
        ASSERT_EQ(d.wait_for_records(50000).size(), 50000U);
        // No timer holds a record back when nothing else is waiting.
        for (std::size_t i = 1; i <= 20; ++i) {
            p.send("lone");
            EXPECT_EQ(d.wait_for_records(50000 + i, 500ms).size(), 50000 + i);
        }
        strace.signal(SIGINT);
        strace.wait();
        std::size_t writes = 0, syncs = 0;
        std::error_code closed;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + pid + "/fd")) {
            if (std::filesystem::read_symlink(fd.path(), closed) != d.output()) continue;
            const std::string on_log = "(" + fd.path().filename().string() + ",";
            writes += count(read_file(trace), "writev" + on_log);
            syncs += count(read_file(trace), "fdatasync(" + fd.path().filename().string() + ")");
        }
        EXPECT_EQ(d.stop(SIGTERM), 0);
        EXPECT_GE(writes, 20U);
        EXPECT_LE(writes, 50000U / 8 + 20) << sync;
        EXPECT_TRUE(sync.empty() ? syncs == 0 : syncs >= 1 && syncs <= 5020) << syncs;
    }
}

TEST(velmoevents_send, delivers_arguments_and_lines_and_fails_clearly) {
    test::daemon d;
    d.configure("", ", max_record_size: 20");
    ASSERT_TRUE(d.start());
    const std::string config = d.config().string(),
                      nobody = "ipc://" + (d.folder() / "no").string();
    write_file(d.folder() / "lines", "line one\n\nlast without newline");
    std::string output;
    // Arguments, lines, and a record over the limit; its status, then what it said.
    for (const auto& [args, status, said] :
         std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
             {{"-e", d.endpoint(), "first event", "", "third"}, 0, ""},
             {{"--config", config}, 0, ""},
             {{"-c", config, "fits", "twenty-one bytes long"},
              1,
              "velmoevents-send: event 2 is larger than the daemon takes; 1 sent before it\n"},
             {{"-e", nobody, "--timeout", "0.5", "lost"},
              1,
              "velmoevents-send: no daemon took the event within 0.5 s"},
             {{"-c", "/nonexistent.yaml", "x"},
              1,
              "velmoevents-send: Config file not found: /nonexistent.yaml\n"},
             {{"-e", "not an endpoint", "x"},
              1,
              "velmoevents-send: cannot connect to not an endpoint: Invalid argument\n"},
             {{"--bogus"}, 2, "velmoevents-send: unrecognised option '--bogus'\nUsage: "}}) {
        std::vector<std::string> argv{VELMOEVENTS_SEND_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_EQ(run(argv, output, d.folder() / "lines"), status) << output;
        EXPECT_EQ(output.substr(0, said.size()), said);
        EXPECT_TRUE(status == 2 || count(output, "\n") == (said.empty() ? 0U : 1U)) << output;
    }
    // Under ZeroMQ's own floor for the limit, the daemon drops the record and keeps the link.
    producer direct(d.endpoint());
    direct.send("twenty-one bytes long");
    direct.send("kept");
    const auto records = d.wait_for_records(8);
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_EQ(records, (std::vector<std::string>{"first event", "", "third", "line one", "",
                                                 "last without newline", "fits", "kept"}));
    EXPECT_TRUE(contains(d.running().output(), "Refused a record of 21 bytes, larger than 20"));
}
