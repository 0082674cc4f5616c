#include "support/daemon.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <thread>

#include "support/file_facts.hpp"
#include "support/flooder.hpp"
#include "support/zmq_producer.hpp"

using namespace std::chrono_literals;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Fails the test unless each part appears, in this order.
void expect_in_order(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t at = 0;
    for (const auto& part : parts) {
        auto found = text.find(part, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << part << "\n" << text;
        at = found + part.size();
    }
}

}  // namespace

TEST(daemon, starts_serves_and_stops_in_order) {
    for (int signal_number : {SIGTERM, SIGINT}) {
        test::daemon daemon;
        ASSERT_TRUE(daemon.start()) << daemon.running().output();
        std::string large(300000, 'L');
        {
            test::zmq_producer producer(daemon.endpoint());
            producer.send("first");
            producer.send(std::string("with\0nul", 8));
            producer.send("");
            producer.send(large);
        }
        daemon.wait_for_records(4);
        EXPECT_EQ(daemon.stop(signal_number), 0);
        EXPECT_EQ(test::read_file(daemon.output()),
                  "first\n" + std::string("with\0nul\n", 9) + "\n" + large + "\n");
        const std::string path = daemon.config().string();
        expect_in_order(
            daemon.running().output(),
            {"[info] Starting service", "[info] Using config file: " + path,
             "[info] Config loaded: " + path, "[info] Log level: info", "[info] Started",
             "[info] Output file: " + daemon.output().string(), "[info] Service ready",
             "[info] Received signal " + std::to_string(signal_number) + ", shutting down",
             "[info] Stopped"});
    }
}

TEST(daemon, concurrent_producers_keep_their_order_and_lose_nothing) {
    test::daemon daemon;
    ASSERT_TRUE(daemon.start());
    constexpr int producers = 4;
    constexpr int each = 20000;
    std::vector<std::unique_ptr<test::zmq_producer>> sockets;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        sockets.push_back(std::make_unique<test::zmq_producer>(daemon.endpoint()));
    }
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < each; ++i) {
                sockets[static_cast<std::size_t>(p)]->send(
                    std::to_string(p) + ":" + std::to_string(i) + std::string(50, 'x'));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    // The producers stay connected until all is written: one that hangs up while the daemon
    // is still behind is a case of its own.
    auto records = daemon.wait_for_records(producers * each);
    sockets.clear();
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
    ASSERT_EQ(records.size(), static_cast<std::size_t>(producers * each));
    std::map<int, int> next;
    for (const auto& record : records) {
        const int p = std::stoi(record.substr(0, record.find(':')));
        const int i = std::stoi(record.substr(record.find(':') + 1));
        ASSERT_EQ(i, next[p]) << "producer " << p << " out of order";
        ASSERT_EQ(record, std::to_string(p) + ":" + std::to_string(i) + std::string(50, 'x'));
        ++next[p];
    }
}

TEST(daemon, stop_during_a_flood_writes_every_record_it_received) {
    test::daemon daemon;
    ASSERT_TRUE(daemon.start());
    test::flooder flood(daemon.endpoint(), [](int i) { return "record " + std::to_string(i); });
    daemon.wait_for_records(1000);
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
    flood.stop();
    const std::string content = test::read_file(daemon.output());
    ASSERT_EQ(content.back(), '\n');
    auto records = test::split_records(content);
    for (std::size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(records[i], "record " + std::to_string(i));
    }
    // The receive thread had taken at least these off the socket; none may be missing.
    EXPECT_GE(records.size(), 1000U);
}

TEST(daemon, restart_appends_after_the_earlier_records) {
    test::daemon daemon;
    for (const char* record : {"from the first run", "from the second run"}) {
        ASSERT_TRUE(daemon.start());
        test::zmq_producer(daemon.endpoint()).send(record);
        daemon.wait_for_records(record[9] == 'f' ? 1 : 2);
        EXPECT_EQ(daemon.stop(SIGTERM), 0);
    }
    EXPECT_EQ(test::read_file(daemon.output()), "from the first run\nfrom the second run\n");
}

TEST(daemon, unbindable_endpoint_is_fatal_before_the_log_exists) {
    test::daemon daemon;
    test::write_file(daemon.config(),
                     "queue: {endpoint: 'ipc://" +
                         (daemon.folder() / "missing" / "q.sock").string() +
                         "'}\nconsumer: {output_file: " + daemon.output().string() + "}\n");
    EXPECT_FALSE(daemon.start());
    EXPECT_EQ(daemon.running().wait(), 1);
    EXPECT_TRUE(contains(daemon.running().output(), "[critical] Fatal error: "));
    EXPECT_FALSE(contains(daemon.running().output(), "Started"));
    EXPECT_FALSE(std::filesystem::exists(daemon.output().parent_path()));
}

TEST(daemon, protection_failure_stops_the_service_then_is_fatal) {
    test::daemon daemon;
    std::filesystem::create_directories(daemon.output());
    EXPECT_FALSE(daemon.start());
    EXPECT_EQ(daemon.running().wait(), 1);
    expect_in_order(
        daemon.running().output(),
        {"[info] Started", "[info] Stopped",
         "[critical] Fatal error: output path is not a regular file: " + daemon.output().string()});
}

TEST(daemon, defaults_and_debug_lines_with_the_system_paths) {
    // The default endpoint and log live under /run and /var/log: give the daemon private
    // copies of both, in a mount namespace of its own, so the machine's stay untouched.
    test::daemon daemon;
    const auto run = daemon.folder() / "run";
    const auto var_log = daemon.folder() / "var-log";
    std::filesystem::create_directories(run);
    std::filesystem::create_directories(var_log);
    test::write_file(daemon.config(), "log_level: debug\nqueue: text\nconsumer: [a, b]\n");
    const std::string mounts = "mount --bind " + run.string() + " /run && mount --bind " +
                               var_log.string() + " /var/log && exec \"$0\" \"$@\"";
    ASSERT_TRUE(daemon.start(
        {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", mounts}))
        << daemon.running().output();
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
    const auto& output = daemon.running().output();
    EXPECT_TRUE(
        contains(output, "[debug] message_queue: listen to ipc:///var/run/velmoeventsd.socket"))
        << output;
    EXPECT_TRUE(contains(output, "[debug] Error reading config path: "));
    EXPECT_TRUE(contains(output, "[info] Output file: /var/log/velmo-events.log"));
    EXPECT_TRUE(std::filesystem::exists(var_log / "velmo-events.log"));
}

TEST(daemon, socket_activation_keeps_what_producers_sent_before_the_start) {
    test::daemon daemon;
    std::vector<std::string> launcher{"/usr/bin/systemd-socket-activate", "-l",
                                      daemon.socket_path().string()};
    launcher.insert(launcher.end(), {VELMOEVENTSD_PATH, "--config", daemon.config().string()});
    test::process activator(launcher);
    ASSERT_TRUE(activator.wait_for_output("Listening on")) << activator.output();
    // Connecting makes the activator start the daemon; these are sent before it is ready.
    test::zmq_producer early(daemon.endpoint());
    for (int i = 0; i < 1000; ++i) {
        early.send("early " + std::to_string(i));
    }
    auto records = daemon.wait_for_records(1000);
    ASSERT_TRUE(activator.wait_for_output("Service ready")) << activator.output();
    activator.signal(SIGTERM);
    EXPECT_EQ(activator.wait(), 0) << activator.output();
    ASSERT_EQ(records.size(), 1000U);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(records[static_cast<std::size_t>(i)], "early " + std::to_string(i));
    }
}

TEST(daemon, a_second_signal_is_absorbed_or_forces_the_stop) {
    test::daemon daemon;
    ASSERT_TRUE(daemon.start());
    daemon.running().signal(SIGTERM);
    daemon.running().signal(SIGTERM);
    const int status = daemon.running().wait();
    // Absorbed by the signal set, or too late and ended by the default action: never a hang.
    EXPECT_TRUE(status == 0 || status == 128 + SIGTERM) << status;
}

TEST(daemon, sighup_ends_it_at_once) {
    test::daemon daemon;
    ASSERT_TRUE(daemon.start());
    EXPECT_EQ(daemon.stop(SIGHUP), 128 + SIGHUP);
    EXPECT_FALSE(contains(daemon.running().output(), "Stopped"));
}

TEST(daemon, a_stop_right_after_ready_is_still_orderly) {
    // "Service ready" comes just before the signal wait is in place; a signal in between must
    // not end the process by the default action.
    for (int round = 0; round < 20; ++round) {
        test::daemon daemon;
        ASSERT_TRUE(daemon.start());
        EXPECT_EQ(daemon.stop(round % 2 == 0 ? SIGTERM : SIGINT), 0) << daemon.running().output();
        EXPECT_TRUE(contains(daemon.running().output(), "[info] Stopped"));
    }
}

namespace {

// How many of the daemon's system calls named `call` acted on its event log, from a trace.
std::size_t calls_on_log(const std::string& trace, const std::string& call, pid_t pid,
                         const std::filesystem::path& log) {
    std::size_t count = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) != log) {
            continue;
        }
        const std::string start = call + "(" + entry.path().filename().string();
        for (auto at = trace.find(start); at != std::string::npos; at = trace.find(start, at + 1)) {
            const char next = trace[at + start.size()];
            count += next == ',' || next == ')' ? 1 : 0;
        }
    }
    return count;
}

}  // namespace

TEST(daemon, waiting_records_go_out_in_groups_and_a_lone_one_at_once) {
    for (const std::string sync : {"", "  sync: true\n"}) {
        test::daemon daemon;
        test::write_file(daemon.config(), "queue:\n  endpoint: " + daemon.endpoint() +
                                              "\nconsumer:\n  output_file: " +
                                              daemon.output().string() + "\n" + sync);
        ASSERT_TRUE(daemon.start());
        const auto trace = daemon.folder() / "trace";
        test::process strace({"/usr/bin/strace", "-f", "-e", "trace=writev,fdatasync", "-o",
                              trace.string(), "-p", std::to_string(daemon.running().pid())});
        ASSERT_TRUE(strace.wait_for_output("attached")) << strace.output();
        test::zmq_producer producer(daemon.endpoint());
        for (int i = 0; i < 50000; ++i) {
            producer.send(std::string(64, 'b'));
        }
        ASSERT_EQ(daemon.wait_for_records(50000).size(), 50000U);
        // No timer holds a record back when nothing else is waiting.
        for (std::size_t i = 1; i <= 20; ++i) {
            producer.send("lone");
            const auto deadline = std::chrono::steady_clock::now() + 500ms;
            while (test::split_records(test::read_file(daemon.output())).size() < 50000 + i &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(1ms);
            }
            ASSERT_EQ(test::split_records(test::read_file(daemon.output())).size(), 50000 + i);
        }
        strace.signal(SIGINT);
        strace.wait();
        const std::string traced = test::read_file(trace);
        const pid_t pid = daemon.running().pid();
        const auto writes = calls_on_log(traced, "writev", pid, daemon.output());
        const auto syncs = calls_on_log(traced, "fdatasync", pid, daemon.output());
        EXPECT_EQ(daemon.stop(SIGTERM), 0);
        EXPECT_GE(writes, 20U);
        EXPECT_LE(writes, 50000U / 8 + 20) << sync;
        if (sync.empty()) {
            EXPECT_EQ(syncs, 0U);
        } else {
            EXPECT_GE(syncs, 1U);
            EXPECT_LE(syncs, 5000U + 20);
        }
    }
}

namespace {

// The service manager's end of NOTIFY_SOCKET: a datagram socket the daemon sends its state to.
class notify_socket {
public:
    explicit notify_socket(std::filesystem::path where) : path(std::move(where)) {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.string().copy(address.sun_path, sizeof address.sun_path - 1);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~notify_socket() { ::close(fd); }
    std::vector<std::string> launcher() const {
        return {"/usr/bin/env", "NOTIFY_SOCKET=" + path.string()};
    }
    // The next message, or "" when none comes within the timeout.
    std::string next(std::chrono::milliseconds timeout = 5s) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) {
            return "";
        }
        char message[4096];
        const ssize_t size = ::recv(fd, message, sizeof message, 0);
        return size > 0 ? std::string(message, static_cast<std::size_t>(size)) : "";
    }

private:
    std::filesystem::path path;
    int fd = -1;
};

}  // namespace

TEST(daemon, tells_the_service_manager_it_is_ready_serving_and_stopping_and_counts_records) {
    test::daemon daemon;
    notify_socket manager(daemon.folder() / "notify.sock");
    ASSERT_TRUE(daemon.start(manager.launcher()));
    EXPECT_EQ(manager.next(), "READY=1");
    EXPECT_TRUE(std::filesystem::exists(daemon.output()));
    EXPECT_TRUE(test::append_only(daemon.output()));
    EXPECT_EQ(manager.next(),
              "STATUS=Writing to " + daemon.output().string() + ": 0 records written");
    {
        test::zmq_producer producer(daemon.endpoint());
        for (int i = 0; i < 1234; ++i) {
            producer.send("record " + std::to_string(i));
        }
        daemon.wait_for_records(1234);
    }
    EXPECT_EQ(manager.next(),
              "STATUS=Writing to " + daemon.output().string() + ": 1234 records written");
    daemon.running().signal(SIGTERM);
    EXPECT_EQ(manager.next(), "STOPPING=1");
    EXPECT_EQ(daemon.running().wait(), 0);
    expect_in_order(daemon.running().output(),
                    {"[info] Stopped", "[info] Records written: 1234, failed: 0"});

    // A start that fails never says it is ready.
    test::daemon refused;
    notify_socket refused_manager(refused.folder() / "notify.sock");
    std::filesystem::create_directories(refused.output());
    EXPECT_FALSE(refused.start(refused_manager.launcher()));
    EXPECT_EQ(refused.running().wait(), 1);
    EXPECT_EQ(refused_manager.next(100ms), "");
}
