// The real daemon forwarding its log: to one nats-server node, to a three-node cluster through
// outages and a restart, from what was written before forwarding was on or while it was off, and to
// a broker that accepts connections and never speaks, or stops.
#include "support/broker.hpp"

using namespace test;

namespace {

void forward_to(test::daemon& d, const std::vector<std::string>& urls,
                const std::string& consumer = "", const std::string& queue = "") {
    std::string servers;
    for (const auto& url : urls) servers += (servers.empty() ? "'" : ", '") + url + "'";
    d.configure("log_level: info\nforward: {nats: {servers: [" + servers + "]}, state_file: '" +
                    (d.folder / "state" / "forward.state").string() + "'}\n",
                queue, consumer);
}
void forward_to(test::daemon& d, const std::string& url, const std::string& consumer = "") {
    forward_to(d, std::vector{url}, consumer);
}

// The outages a daemon's output tells of: each "paused" is followed by one "resumed" before the
// next, the last perhaps still open. How many began, or -1 if they do not alternate so.
int outages(const std::string& output) {
    int begun = 0;
    bool open = false;
    for (std::size_t at = 0; (at = output.find("Forwarding ", at)) != std::string::npos; ++at) {
        const bool paused = output.compare(at, 18, "Forwarding paused:") == 0;
        const bool resumed = output.compare(at, 18, "Forwarding resumed") == 0;
        if ((paused && open) || (resumed && !open)) return -1;
        begun += paused ? 1 : 0;
        open = paused || (open && !resumed);
    }
    return begun;
}

std::size_t archives(const test::daemon& d) {
    std::size_t found = 0;
    for (const auto& entry : std::filesystem::directory_iterator(d.output().parent_path())) {
        const std::string name = entry.path().filename().string();
        found += name.starts_with("events.log.") && !name.ends_with(".seal") ? 1 : 0;
    }
    return found;
}

}  // namespace

TEST(daemon_forwarding, every_record_reaches_the_stream_once_in_order_through_rotation_and_outage) {
    brokers node(1);
    stream events(node, 1);
    node.kill(0);
    test::daemon d;
    forward_to(d, node.urls()[0], ", max_file_size: 256K, max_archives: 1");
    ASSERT_TRUE(d.start());
    producer sender(d.endpoint());
    for (int i = 0; i < 20000; ++i) sender.send(record(i));
    // Retention keeps what is not forwarded yet.
    ASSERT_TRUE(d.running().wait_for_output("until they are forwarded", 30s));
    EXPECT_TRUE(eventually([&] { return archives(d) > 10; }));
    node.start(0);
    // The log goes on rotating while the forwarder reads: it never loses its place for the
    // moment between the two renames, which would send the oldest archive again.
    for (int i = 20000; i < 30000; ++i) sender.send(record(i));
    events.expect_records(30000);
    // and lets it go with the next write once it is.
    sender.send(record(30000));
    EXPECT_TRUE(eventually([&] { return archives(d) == 1; }));
    EXPECT_EQ(d.stop(SIGTERM), 0);
    const std::string output = d.running().output();
    EXPECT_FALSE(contains(output, "is no longer there")) << output;
    EXPECT_TRUE(contains(output, "Records forwarded: 30001")) << output;
    EXPECT_EQ(count(output, "Forwarding paused"), 1U) << output;
    EXPECT_EQ(count(output, "Forwarding resumed"), 1U) << output;
}

TEST(daemon_forwarding, three_nodes_through_outages_and_a_restart_get_each_record_once_in_order) {
    brokers cluster(3);
    stream events(cluster, 3);
    test::daemon d;
    forward_to(d, cluster.urls());
    ASSERT_TRUE(d.start());
    auto sender = std::make_unique<producer>(d.endpoint());
    const auto send = [&](int from, int to) {
        for (int i = from; i < to; ++i) sender->send(record(i));
    };
    const auto stored = [&](std::uint64_t count) {
        return eventually([&] { return events.count() >= count; }, 120s);
    };
    send(0, 6000);
    ASSERT_TRUE(stored(3000));
    // The stream's leader, so that the stream has to elect another.
    const int leader = events.leader();
    ASSERT_GE(leader, 0);
    cluster.kill(leader);
    send(6000, 12000);
    ASSERT_TRUE(stored(9000));
    for (int i = 0; i < 3; ++i)
        if (i != leader) cluster.kill(i);
    send(12000, 18000);
    ASSERT_TRUE(eventually(
        [&] {
            const std::string output = d.running().output();
            return count(output, "Forwarding paused") > count(output, "Forwarding resumed");
        },
        60s));
    sender.reset();
    ASSERT_EQ(d.stop(SIGTERM), 0);
    const std::string first = d.running().output();
    ASSERT_TRUE(contains(first, "Records written: 18000, failed: 0")) << first;
    // The node killed alone may or may not have been noticed; the whole cluster was, and its
    // outage was still on at the stop.
    const int before = outages(first);
    EXPECT_TRUE(before == 1 || before == 2) << first;
    EXPECT_EQ(count(first, "Forwarding resumed"), std::size_t(before - 1)) << first;
    ASSERT_TRUE(d.start());
    sender = std::make_unique<producer>(d.endpoint());
    send(18000, 24000);
    for (int i = 0; i < 3; ++i) cluster.start(i);
    send(24000, 30000);
    events.expect_records(30000);
    ASSERT_TRUE(d.running().wait_for_output("Forwarding resumed", 60s));
    sender.reset();
    EXPECT_EQ(d.stop(SIGTERM), 0);
    const std::string second = d.running().output();
    EXPECT_EQ(outages(second), 1) << second;
    EXPECT_EQ(count(second, "Forwarding resumed"), 1U) << second;
}

TEST(daemon_forwarding, records_written_before_forwarding_was_on_go_as_lines_of_bounded_size) {
    brokers node(1);
    stream events(node, 1);
    test::daemon d;
    forward_to(d, node.urls()[0]);
    ASSERT_TRUE(d.start());
    auto sender = std::make_unique<producer>(d.endpoint());
    for (int i = 0; i < 10; ++i) sender->send(record(i));
    ASSERT_TRUE(eventually([&] { return events.count() == 10; }, 60s));
    EXPECT_EQ(d.stop(SIGTERM), 0);
    // Written without forwarding, so without record lengths: the lines are all that is known.
    d.configure();
    ASSERT_TRUE(d.start());
    sender = std::make_unique<producer>(d.endpoint());
    const std::size_t lines = count(read_file(d.output()), "\n") + 5;
    for (const auto& bytes : {"one"s, "two\nlines"s, std::string(2500, 'x'), ""s})
        sender->send(bytes);
    d.wait_for_records(lines);
    EXPECT_EQ(d.stop(SIGTERM), 0);
    forward_to(d, node.urls(), "", ", max_record_size: 1000");
    ASSERT_TRUE(d.start());
    const std::vector<std::string> pieces{"one",
                                          "two",
                                          "lines",
                                          std::string(1000, 'x'),
                                          std::string(1000, 'x'),
                                          std::string(500, 'x'),
                                          ""};
    ASSERT_TRUE(eventually([&] { return events.count() >= 10 + pieces.size(); }, 60s));
    std::set<std::string> ids;
    for (std::uint64_t i = 0; i < 10 + pieces.size(); ++i) {
        const auto [bytes, id] = events.get(i + 1);
        EXPECT_EQ(bytes, i < 10 ? record(int(i)) : pieces[i - 10]) << i;
        EXPECT_TRUE(ids.insert(id).second) << id;
    }
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_EQ(events.count(), 10 + pieces.size());
    EXPECT_TRUE(contains(d.running().output(), "Records forwarded: 7")) << d.running().output();
}

TEST(daemon_forwarding, records_written_and_rotated_while_forwarding_was_off_all_go_once) {
    brokers node(1);
    stream events(node, 1);
    test::daemon d;
    // Without newlines, so that the lines of what was written unsealed are the records.
    const auto line = [](int i) {
        return std::string(150, char('a' + i % 26)) + std::to_string(i);
    };
    std::uintmax_t bytes = 0;
    const auto send = [&](int from, int to) {
        producer sender(d.endpoint());
        for (int i = from; i < to; ++i) sender.send(line(i));
        for (int i = from; i < to; ++i) bytes += line(i).size() + 1;
        // Every byte of the log and its archives, seals aside.
        ASSERT_TRUE(eventually([&] {
            std::uintmax_t held = 0;
            for (const auto& entry : std::filesystem::directory_iterator(d.output().parent_path()))
                held += entry.path().extension() == ".seal" ? 0 : size_of(entry.path());
            return held == bytes;
        }));
    };
    forward_to(d, node.urls()[0]);
    ASSERT_TRUE(d.start());
    send(0, 10);
    ASSERT_TRUE(eventually([&] { return events.count() == 10; }, 60s));
    ASSERT_EQ(d.stop(SIGTERM), 0);
    d.configure("log_level: info\n", "", ", max_file_size: 8K");
    ASSERT_TRUE(d.start());
    send(10, 210);
    ASSERT_EQ(d.stop(SIGTERM), 0);
    ASSERT_GE(archives(d), 3U);
    forward_to(d, node.urls()[0], ", max_file_size: 8K");
    ASSERT_TRUE(d.start());
    send(210, 220);
    ASSERT_TRUE(eventually([&] { return events.count() >= 220; }, 60s)) << d.running().output();
    std::set<std::string> ids;
    for (int i = 0; i < 220; ++i) {
        const auto [got, id] = events.get(std::uint64_t(i) + 1);
        EXPECT_EQ(got, line(i)) << i;
        EXPECT_TRUE(ids.insert(id).second) << id;
    }
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_EQ(events.count(), 220U);
    EXPECT_TRUE(contains(d.running().output(), "Records forwarded: 210")) << d.running().output();
}

TEST(daemon_forwarding, a_mute_broker_never_holds_back_the_log_nor_the_stop) {
    listener mute;
    test::daemon d;
    forward_to(d, "nats://127.0.0.1:" + std::to_string(mute.port));
    ASSERT_TRUE(d.start());
    producer flood(d.endpoint());
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200000; ++i)
        flood.send(std::string(64 - 6, 'm') + std::to_string(100000 + i));
    ASSERT_TRUE(eventually(
        [&] { return std::filesystem::file_size(d.output()) >= std::uintmax_t{200000} * 65; },
        60s));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string hwm =
        shell("grep VmHWM /proc/" + std::to_string(d.running().pid()) + "/status");
    const double peak = std::stod(hwm.substr(6)) / 1024;
    std::printf("200,000 records of 64 B in %.2f s (%.0f rec/s), peak %.1f MiB\n", seconds,
                200000 / seconds, peak);
    EXPECT_LT(peak, 96);
    EXPECT_TRUE(d.running().wait_for_output("Forwarding paused: "));
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 10s);
    EXPECT_TRUE(contains(d.running().output(), "Records forwarded: 0"));
}

TEST(daemon_forwarding, a_broker_stopped_with_large_records_in_flight_never_holds_back_the_stop) {
    brokers node(1);
    stream events(node, 1);
    test::daemon d;
    forward_to(d, node.urls()[0]);
    ASSERT_TRUE(d.start());
    producer sender(d.endpoint());
    sender.send("first");
    ASSERT_TRUE(eventually([&] { return events.count() == 1; }, 60s));
    // Alive to the kernel, which takes bytes for it until its buffers are full, but it reads none.
    node.nodes[0]->signal(SIGSTOP);
    const std::string large(std::size_t{900} << 10, 'L');
    for (int i = 0; i < 200; ++i) sender.send(large);
    EXPECT_TRUE(
        eventually([&] { return size_of(d.output()) >= 6 + 200 * (large.size() + 1); }, 60s));
    EXPECT_TRUE(d.running().wait_for_output("Forwarding paused: ", 60s));
    EXPECT_EQ(d.stop(SIGTERM), 0);
    node.nodes[0]->signal(SIGCONT);
}

TEST(daemon_forwarding, an_idle_host_tells_each_outage_once_as_it_begins_and_ends) {
    brokers node(1);
    stream events(node, 1);
    test::daemon d;
    forward_to(d, node.urls()[0]);
    ASSERT_TRUE(d.start());
    producer(d.endpoint()).send("one");
    ASSERT_TRUE(eventually([&] { return events.count() == 1; }, 60s));
    const auto told = [&](const std::string& what, std::size_t times) {
        return eventually([&] { return count(d.running().output(), what) == times; }, 60s);
    };
    for (std::size_t outage = 1; outage <= 2; ++outage) {
        node.kill(0);
        EXPECT_TRUE(told("Forwarding paused: ", outage)) << d.running().output();
        node.start(0);
        EXPECT_TRUE(told("Forwarding resumed, 0 records behind", outage)) << d.running().output();
    }
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_EQ(outages(d.running().output()), 2) << d.running().output();
}

TEST(daemon_forwarding, files_it_cannot_use_are_named_with_the_reason) {
    struct row {
        std::string file;  // under the daemon's folder
        std::string key;   // of `forward.nats`, or the state file when empty
        std::string expected;
        bool starts;
    };
    const std::vector<row> rows{
        {"secret/none.creds", "creds",
         "Forwarding paused: cannot read the credentials file {}: No such file or directory", true},
        {"secret/none.pem", "tls_ca",
         "Forwarding paused: cannot read the CA file {}: No such file or directory", true},
        {"locked/forward.state", "",
         "Cannot write the forwarding state {}: Operation not permitted", false},
        {"config.yaml/forward.state", "", "Cannot write the forwarding state {}: Not a directory",
         false},
    };
    const listener mute;
    for (const auto& [file, key, expected, starts] : rows) {
        test::daemon d;
        const std::string at = (d.folder / file).string();
        std::filesystem::create_directories(d.folder / "locked");
        shell("chattr +i " + (d.folder / "locked").string());
        d.configure("log_level: info\nforward: {nats: {servers: ['nats://127.0.0.1:" +
                    std::to_string(mute.port) + "']" +
                    (key.empty() ? "" : ", " + key + ": '" + at + "'") + "}, state_file: '" +
                    (key.empty() ? at : (d.folder / "forward.state").string()) + "'}\n");
        EXPECT_EQ(d.start(), starts) << file << d.running().output();
        const std::string text = std::string(expected).replace(expected.find("{}"), 2, at);
        EXPECT_TRUE(d.running().wait_for_output(text)) << d.running().output();
        EXPECT_EQ(d.stop(SIGTERM), starts ? 0 : 1) << file;
        shell("chattr -i " + (d.folder / "locked").string());
    }
}
