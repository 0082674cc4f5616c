// The real daemon forwarding its log: to one nats-server node, and to a broker that accepts
// connections and never speaks.
#include "support/broker.hpp"

using namespace test;

namespace {

void forward_to(test::daemon& d, const std::string& url, const std::string& consumer = "") {
    d.configure("log_level: info\nforward: {nats: {servers: ['" + url + "']}, state_file: '" +
                    (d.folder / "state" / "forward.state").string() + "'}\n",
                "", consumer);
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
    // An archive from before forwarding was on has no seal: it never holds retention up.
    std::filesystem::create_directories(d.output().parent_path());
    std::ofstream(d.output().string() + ".20000101T000000Z-000000") << "old\n";
    ASSERT_TRUE(d.start());
    producer sender(d.endpoint());
    for (int i = 0; i < 20000; ++i) sender.send(record(i));
    // Retention keeps what is not forwarded yet.
    ASSERT_TRUE(d.running().wait_for_output("until they are forwarded", 30s));
    EXPECT_TRUE(eventually([&] { return archives(d) > 10; }));
    node.start(0);
    ASSERT_TRUE(eventually([&] { return events.count() >= 20000; }, 120s));
    // and lets it go with the next write once it is.
    sender.send(record(20000));
    events.expect_records(20001);
    EXPECT_TRUE(eventually([&] { return archives(d) == 1; }));
    EXPECT_EQ(d.stop(SIGTERM), 0);
    const std::string output = d.running().output();
    EXPECT_TRUE(contains(output, "Records forwarded: 20001")) << output;
    EXPECT_TRUE(contains(output, "has no readable seal and cannot be forwarded")) << output;
    EXPECT_EQ(count(output, "Forwarding paused"), 1U) << output;
    EXPECT_EQ(count(output, "Forwarding resumed"), 1U) << output;
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
