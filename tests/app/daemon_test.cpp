// The real binaries end to end: command line, start-up, serving, stopping, velmoevents-send.
#include "support/support.hpp"

using namespace test;

namespace {

using parts = std::vector<std::string>;

void expect_in_order(const std::string& text, const parts& expected) {
    std::size_t at = 0;
    for (const auto& part : expected)
        ASSERT_NE(at = text.find(part, at), std::string::npos) << part << "\n" << text;
}

}  // namespace

TEST(daemon, serves_byte_exact_records_under_socket_activation_or_not_and_stops_in_order) {
    test::daemon d;
    // The service manager's end of NOTIFY_SOCKET, which writes out each message it gets.
    const std::string notify = (d.folder / "notify.sock").string();
    process manager("exec socat -u UNIX-RECV:" + notify + " -");
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(notify); }));
    const std::string status = "STATUS=Writing to " + d.output().string() + ": 7 records written";
    const std::string other = (d.folder / "other.sock").string();
    // The last three are the frames of one message.
    const std::vector<std::string> records{
        "first", "with\0nul"s, "", std::string(300000, 'L'), "one frame", "of three", "parts"};
    std::string expected;
    // Each start appends to the log of the one before. Sent before the start, the records wait
    // in ZeroMQ, or in the socket the service manager holds, which the daemon adopts when it is
    // the only one; given two, it adopts neither and binds its endpoint, and a first connection
    // to either is what starts it.
    for (const auto& [earlier, signal_number, launcher] :
         std::vector<std::tuple<std::size_t, int, std::string>>{
             {0, SIGTERM, ""},
             {1, SIGINT, "systemd-socket-activate -l " + (d.folder / "events.sock").string()},
             {2, SIGTERM, "systemd-socket-activate -l " + other + " -l " + other + ".2"}}) {
        producer p(d.endpoint()), first("ipc://" + other);
        for (std::size_t i = 0; i < records.size(); ++i) {
            p.send(records[i], i == 4 || i == 5);
            expected += records[i] + "\n";
        }
        ASSERT_TRUE(d.start(launcher + " env NOTIFY_SOCKET=" + notify)) << d.running().output();
        // Protected before it says it is ready, a file it created and one it found alike.
        EXPECT_EQ(shell("cd " + d.output().parent_path().string() +
                        " && stat -c %U:%G events.log && lsattr -d events.log | cut -c6 && getfacl "
                        "-cp . events.log | tr '\\n' , && getfattr --only-values -n "
                        "trusted.mavi.label events.log"),
                  "root:velmo-admin\na\nuser::rwx,group::r-x,mask::r-x,other::r-x,,user::rw-,"
                  "group::r--,group:velmo-audit:r--,mask::r--,other::---,,0:High:0");
        // A count each second.
        EXPECT_TRUE(eventually([&] { return count(manager.output(), status) > earlier; }));
        EXPECT_EQ(d.stop(signal_number), 0);
        EXPECT_FALSE(contains(d.running().output(), "[error]")) << d.running().output();
        EXPECT_TRUE(read_file(d.output()) == expected);
        expect_in_order(
            d.running().output(),
            {"[info] Service ready",
             "[info] Received signal " + std::to_string(signal_number) + ", shutting down",
             "[info] Stopped", "[info] Records written: 7, failed: 0"});
    }
    // Ready, counting and stopping, start after start; a start that fails never says it is ready.
    d.configure("", "", "", d.folder.root);
    EXPECT_FALSE(d.start("env NOTIFY_SOCKET=" + notify));
    EXPECT_EQ(d.running().wait(), 1);
    expect_in_order(manager.output(), {"READY=1", status, "STOPPING=1", "READY=1", status,
                                       "STOPPING=1", "READY=1", status, "STOPPING=1"});
    EXPECT_EQ(count(manager.output(), "READY=1"), 3U);
}

TEST(daemon, signals_stop_it_in_order_or_at_once_and_the_next_start_ends_a_cut_record) {
    auto record = [](std::size_t i) {
        return std::to_string(i) + ":" + std::string(200 + i % 3000, 'k');
    };
    // The signals sent during a flood, and the exit statuses each may give.
    for (const auto& [signals, statuses] :
         std::vector<std::pair<std::vector<int>, std::vector<int>>>{{{SIGTERM}, {0}},
                                                                    {{SIGINT, SIGINT}, {0, 130}},
                                                                    {{SIGHUP}, {129}},
                                                                    {{SIGKILL}, {137}}}) {
        test::daemon d;
        ASSERT_TRUE(d.start());
        auto flood = std::make_unique<producer>(d.endpoint());
        flood->flood(record);
        ASSERT_TRUE(eventually([&] { return std::filesystem::file_size(d.output()) > 8000000; }));
        for (int number : signals) d.running().signal(number);
        const int status = d.running().wait();
        flood.reset();  // what it still holds would follow the restart's record
        EXPECT_THAT(statuses, testing::Contains(status));
        // Killed by a signal it does not handle, it says nothing more.
        EXPECT_TRUE(status == 0 || status == 130 || !contains(d.running().output(), "Stopped"));
        EXPECT_TRUE(status != 0 || read_file(d.output()).back() == '\n');
        ASSERT_TRUE(d.start());
        producer(d.endpoint()).send("after the restart");
        EXPECT_TRUE(
            eventually([&] { return contains(read_file(d.output()), "\nafter the restart\n"); }));
        EXPECT_EQ(d.stop(SIGTERM), 0);
        // In order, none missing; only the last before the restart may be cut short, and the
        // restart ends it rather than continuing it.
        auto records = split_records(read_file(d.output()));
        ASSERT_EQ(records.back(), "after the restart");
        records.pop_back();
        for (std::size_t i = 0; i + 1 < records.size(); ++i) ASSERT_EQ(records[i], record(i));
        EXPECT_EQ(record(records.size() - 1).rfind(records.back(), 0), 0U);
    }
}

TEST(command_lines, of_the_daemon_and_of_velmoevents_send_end_in_one_clear_outcome) {
    // A daemon for velmoevents-send to deliver to, in a folder that holds every other file.
    test::daemon d;
    d.configure("", ", max_record_size: 20");
    ASSERT_TRUE(d.start());
    const path dir = d.folder.root;
    int files = 0;
    const auto config = [&](const std::string& text) {
        const path file = dir / ("config" + std::to_string(files++) + ".yaml");
        write_file(file, text);
        return file.string();
    };
    const std::string missing = (dir / "missing.yaml").string(), fatal = "[critical] Fatal error: ",
                      parse = "[error] YAML parse error: ", start = "[info] Starting service";
    const std::string not_regular = fatal + "output path is not a regular file: ";
    const std::string unbindable =
        config("queue: {endpoint: 'ipc://" + (dir / "no" / "q").string() +
               "'}\nconsumer: {output_file: " + (dir / "no").string() + "}\n");
    // The daemon runs under private copies of /run and /var/log, where the default log is a
    // folder.
    const std::string launcher =
        "unshare --mount --propagation private sh -c 'cd " + dir.string() +
        " && mkdir -p run var-log/velmo-events.log && mount --bind run "
        "/run && mount --bind var-log /var/log && exec \"$0\" \"$@\"' " VELMOEVENTSD_PATH " ";
    const std::string info = config("log_level: info\n"), level = "[info] Log level: ";
    const std::string precious = (dir / "precious").string(), anyone = "[warning] Endpoint ";
    write_file(precious, "not a socket\n");
    const auto endpoint = [&](const std::string& where) {
        return "-c " + config("queue: {endpoint: '" + where + "'}\n");
    };
    // velmoevents-send takes lines on standard input only when given no events.
    const std::string send = "printf 'line one\\n\\nlast without newline' | " VELMOEVENTS_SEND_PATH
                             " ",
                      tool = "velmoevents-send: ", conf = d.config().string();
    const parts one_line{"\n" + tool, "Usage"};
    // The daemon's arguments or a velmoevents-send command line, exit status, what the output
    // says in this order, what it never says.
    // clang-format off
    using outcome = std::tuple<std::string, int, parts, parts>;
    for (const auto& [args, status, said, unsaid] : std::vector<outcome>{
             {"--bogus", 1, {fatal}, {start}},
             {"--config", 1, {fatal}, {start}},
             {"-c a --config b", 1, {fatal}, {start}},
             {"-c " + missing, 1, {start, "[error] Config file not found: " + missing,
                                   fatal + "Config file not found: " + missing}, {}},
             {"-c " + config("queue: [1,\n"), 1, {start, parse, fatal}, {}},
             {"-c " + config("\0\1\2binary"s), 1, {start, parse, fatal}, {}},
             {"-c " + dir.string(), 1, {start, parse, fatal}, {}},
             {"-c " + unbindable, 1, {fatal}, {"Service ready"}},
             {"-c /nonexistent --help", 0,
              {"Allowed options:\n", "(=/etc/velmoeventsd/config.yaml)"}, {start, "not found"}},
             {"-h", 0, {"Allowed options:\n"}, {start}},
             {"stray-word --conf " + info, 1,
              {start, "[info] Using config file: " + info, "[info] Config loaded: " + info,
               level + "info\n", "[info] Started",
               "[info] Output file: /var/log/velmo-events.log", "[info] Stopped", not_regular},
              {"ready"}},
             {"-c " + config("log_level: warn\n"), 1, {level + "warning\n", not_regular},
              {"Started"}},
             {"-c " + config("log_level: Info\n"), 1, {level + "off\n"}, {"Started", "Fatal"}},
             {"-c " + config("log_level: ~\n"), 1, {level + "info\n", "[info] Started", fatal}, {}},
             {"-c " + config("log_level: debug\nqueue: text\nconsumer: [a]\n"), 1,
              {"[debug] Error reading config path: ",
               "[debug] message_queue: listen to ipc:///var/run/velmoeventsd.socket",
               "[info] Output file: /var/log/velmo-events.log",
               not_regular + "/var/log/velmo-events.log"}, {}},
             // A value of the wrong shape, or none, is the default; a number is its text.
             {"-c " + config("log_level: debug\nqueue: [a, b]\nconsumer: {output_file: ~}\n"), 1,
              {"listen to ipc:///var/run/velmoeventsd.socket", "Output file: /var/log/"},
              {"Error reading"}},
             {"-c " + config("queue: {endpoint: 5555}\n"), 1, {fatal + "Invalid argument"},
              {"Output file"}},
             // Nothing but a socket no one serves on is replaced; only an ipc path's mode
             // says who may send.
             {endpoint("ipc://" + precious), 1, {fatal + "endpoint path is not a socket: " +
                                                 precious}, {"Started"}},
             {endpoint(d.endpoint()), 1, {fatal + "another daemon is serving on " +
                                          d.endpoint()}, {"Started"}},
             {endpoint("tcp://127.0.0.1:*"), 1, {anyone + "tcp://127.0.0.1:",
                                                 ": any local user can write records"}, {}},
             {endpoint("ipc://@" + precious), 1, {anyone + "ipc://@" + precious, "any local"}, {}},
             {endpoint("tcp://*:*"), 1, {anyone + "tcp://0.0.0.0:", "is open to the network: "
                                         "anyone who reaches it can write records"}, {}},
             // A size that does not parse is said, with the default taken.
             {"-c " + config("queue: {max_record_size: 0}\nconsumer: {max_file_size: 100 MB}\n"), 1,
              {"[warning] Cannot read queue.max_record_size as a size: \"0\"; using 1048576",
               "[warning] Cannot read consumer.max_file_size as a size: \"100 MB\"; using 0",
               not_regular}, {}},
             {send + "-e " + d.endpoint() + " -- 'first event' '' -h", 0, {}, {"\n"}},
             {send + "-e " + d.endpoint() + " 'not sent' -h", 2, {tool + "-h comes after the "
              "first record; to send it as a record, put -- before the records\n"}, one_line},
             {send + "--config " + conf, 0, {}, {"\n"}},
             {send + "-c " + conf + " fits 'twenty-one bytes long'", 1,
              {tool + "event 2 is larger than the daemon takes; 1 sent before it\n"}, one_line},
             {send + "-e ipc://" + (dir / "nobody").string() + " --timeout 0.5 lost", 1,
              {tool + "no daemon took the event within 0.5 s"}, one_line},
             {send + "-c /nonexistent.yaml x", 1,
              {tool + "Config file not found: /nonexistent.yaml\n"}, one_line},
             {send + "-e 'not an endpoint' x", 1,
              {tool + "cannot connect to not an endpoint: Invalid argument\n"}, one_line},
             {send + "--bogus", 2, {tool + "unrecognised option '--bogus'\nUsage: "}, {}}}) {
        // clang-format on
        process child(args.starts_with(send) ? args : launcher + args);
        EXPECT_EQ(child.wait(), status) << child.output();
        const std::string output = child.output();
        expect_in_order(output, said);
        for (const auto& part : unsaid) EXPECT_FALSE(contains(output, part)) << output;
    }
    // No log created where the endpoint could not be bound, and the file there untouched.
    EXPECT_FALSE(std::filesystem::exists(dir / "no"));
    EXPECT_EQ(read_file(precious), "not a socket\n");
    EXPECT_EQ(d.wait_for_records(7),
              (std::vector<std::string>{"first event", "", "-h", "line one", "",
                                        "last without newline", "fits"}));
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST(daemon, waiting_records_go_out_in_groups_and_a_lone_one_at_once) {
    for (const std::string sync : {"", ", sync: true"}) {
        test::daemon d;
        d.configure("", "", sync);
        ASSERT_TRUE(d.start());
        const std::string pid = std::to_string(d.running().pid()), trace = d.folder / "trace";
        process strace("exec strace -f -y -e trace=writev,fdatasync -o " + trace + " -p " + pid);
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
        const std::string traced = read_file(trace), log = "<" + d.output().string() + ">";
        const std::size_t writes = count(traced, log + ", ["), syncs = count(traced, log + ")");
        EXPECT_EQ(d.stop(SIGTERM), 0);
        EXPECT_GE(writes, 20U);
        EXPECT_LE(writes, 50000U / 8 + 20) << sync;
        EXPECT_TRUE(sync.empty() ? syncs == 0 : syncs >= 1 && syncs <= 5020) << syncs;
    }
}

TEST(daemon, takes_the_syslog_lines_rsyslog_relays_through_omczmq) {
    if (shell("ls /usr/lib/*/rsyslog/omczmq.so").find("omczmq.so\n") == std::string::npos) {
        GTEST_SKIP() << "rsyslog's omczmq module (Debian package rsyslog-czmq) is not installed";
    }
    test::daemon d;
    ASSERT_TRUE(d.start());
    const std::string dir = d.folder.root.string(), input = dir + "/syslog.sock";
    // Syslog lines on a socket of its own, each message's text alone pushed to the daemon.
    write_file(
        d.folder / "rsyslog.conf",
        "global(workDirectory=\"" + dir +
            "\")\nmodule(load=\"imuxsock\" SysSock.Use=\"off\")\n"
            "module(load=\"omczmq\")\ninput(type=\"imuxsock\" Socket=\"" +
            input +
            "\")\n"
            "template(name=\"text\" type=\"string\" string=\"%msg:2:$%\")\naction(type=\"omczmq\" "
            "socktype=\"PUSH\" endpoints=\">" +
            d.endpoint() + "\" template=\"text\")\n");
    process rsyslog("exec rsyslogd -n -f " + dir + "/rsyslog.conf -i " + dir + "/rsyslog.pid");
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(input); })) << rsyslog.output();
    shell("logger -u " + input + " 'disk check passed' && logger -u " + input + " 'user added'");
    EXPECT_EQ(d.wait_for_records(2), (std::vector<std::string>{"disk check passed", "user added"}));
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST(daemon, archives_the_log_at_its_size_protected_and_keeps_the_newest) {
    const auto record = [](int i) { return std::to_string(i) + ":" + std::string(i % 2000, 'k'); };
    const auto protection = [](const path& f) {
        return shell("stat -c %U:%G " + f.string() + "; getfacl -cp " + f.string() + "; lsattr " +
                     f.string() + " | cut -c1-20; getfattr --only-values -n trusted.mavi.label " +
                     f.string());
    };
    // About 5 MiB of records into logs of 1 MiB, every archive kept, then the newest two.
    for (const auto& [size, kept] :
         std::vector<std::pair<std::string, int>>{{"1M", 0}, {"1048576", 2}}) {
        test::daemon d;
        d.configure("", "", ", max_file_size: " + size + ", max_archives: " + std::to_string(kept));
        ASSERT_TRUE(d.start());
        producer p(d.endpoint());
        p.flood(record, 5000);
        EXPECT_TRUE(
            eventually([&] { return read_file(d.output()).ends_with(record(4999) + "\n"); }));
        EXPECT_EQ(d.stop(SIGTERM), 0);
        std::vector<path> files;
        for (const auto& entry : std::filesystem::directory_iterator(d.output().parent_path()))
            if (entry.path() != d.output()) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        const std::string output = d.running().output();
        const std::size_t rotations = count(output, "[info] Rotated the event log to ");
        EXPECT_EQ(files.size(), kept ? kept : rotations);
        EXPECT_GE(rotations, 4U);
        EXPECT_EQ(count(output, "[info] Removed archive "), kept ? rotations - kept : 0);
        std::string content;
        for (const auto& file : files) {
            EXPECT_LE(std::filesystem::file_size(file), 1U << 20);
            EXPECT_EQ(protection(file), protection(d.output()));
            content += read_file(file);
        }
        // The archives in name order, then the log: every record kept, in order.
        const auto records = split_records(content + read_file(d.output()));
        const int first = std::stoi(records.at(0));
        EXPECT_EQ(first == 0, kept == 0);
        for (std::size_t i = 0; i < records.size(); ++i)
            ASSERT_EQ(records[i], record(first + int(i)));
        EXPECT_EQ(first + records.size(), 5000U);
    }
}
