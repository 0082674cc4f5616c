// The forwarder against real nats-server processes: one node, a three-node cluster through
// outages and a restart, and a broker that accepts connections and never speaks.
#include "forward/forwarder.hpp"

#include "forward/nats_sink.hpp"
#include "support/broker.hpp"

using namespace test;

namespace {

// Records as these tests write them: a 4-byte length, then the bytes.
class framed_file final : public forward::record_source {
public:
    explicit framed_file(path name) : file(std::move(name)) {}
    void read(const forward::position& from, std::size_t max_records, std::size_t max_bytes,
              std::vector<forward::record>& out) override {
        out.clear();
        buffer.clear();
        std::ifstream in(file, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(from.offset));
        std::vector<std::pair<std::uint64_t, std::size_t>> spans;  // offset, size
        for (std::uint32_t size = 0; spans.size() < max_records && buffer.size() <= max_bytes &&
                                     in.read(reinterpret_cast<char*>(&size), 4);) {
            std::string bytes(size, '\0');
            if (!in.read(bytes.data(), size)) break;
            spans.emplace_back(from.offset + 4 * (spans.size() + 1) + buffer.size(), size);
            buffer += bytes;
        }
        for (std::size_t start = 0; const auto& [at, size] : spans) {
            out.push_back({{"test-log", at - 4},
                           {"test-log", at + size},
                           std::string_view(buffer).substr(start, size)});
            start += size;
        }
    }
    std::uint64_t count_from(const forward::position& from) override {
        std::vector<forward::record> all;
        read(from, SIZE_MAX, SIZE_MAX, all);
        return all.size();
    }

private:
    path file;
    std::string buffer;
};

struct bench {
    explicit bench(std::vector<std::string> servers) {
        config.servers = std::move(servers);
        config.state_file = dir / "state" / "forward.state";
    }
    void start() {
        sent = std::make_unique<forward::forwarder>(
            std::make_unique<forward::nats_sink>(config, 512), std::make_unique<framed_file>(log),
            config.state_file);
    }
    // Appends records `from` to `to` one at a time, `per_ms` a millisecond.
    void write(int from, int to, int per_ms = 1000) {
        std::ofstream out(log, std::ios::binary | std::ios::app);
        for (int i = from; i < to; ++i) {
            const std::string bytes = record(i);
            const auto size = static_cast<std::uint32_t>(bytes.size());
            out.write(reinterpret_cast<const char*>(&size), 4).write(bytes.data(), size).flush();
            sent->written(1);
            if (i % per_ms == 0) std::this_thread::sleep_for(1ms);
        }
    }

    temp_dir dir;
    path log = dir / "events.log";
    settings::forward_settings config;
    std::unique_ptr<forward::forwarder> sent;
};

}  // namespace

TEST(forwarder, every_record_reaches_one_node_once_in_order_byte_exact) {
    brokers node(1);
    stream events(node, 1);
    bench run(node.urls());
    run.start();
    run.write(0, 20000);
    events.expect_records(20000);
    EXPECT_TRUE(eventually([&] { return run.sent->behind() == 0; }));
    EXPECT_EQ(run.sent->forwarded(), 20000U);
}

TEST(forwarder, three_nodes_through_outages_and_a_restart_get_each_record_once_in_order) {
    const auto log = capture_log();
    brokers cluster(3);
    stream events(cluster, 3);
    bench run(cluster.urls());
    run.start();
    const auto forwarded_past = [&](std::uint64_t count) {
        return eventually([&] { return run.sent->forwarded() >= count; }, 60s);
    };
    run.write(0, 6000, 2);
    ASSERT_TRUE(forwarded_past(3000));
    cluster.kill(0);
    run.write(6000, 12000, 2);
    ASSERT_TRUE(forwarded_past(9000));
    cluster.kill(1);
    cluster.kill(2);
    run.write(12000, 18000, 2);
    const auto paused = [&] { return logged(log, "Forwarding paused"); };
    const auto resumed = [&] { return logged(log, "Forwarding resumed"); };
    ASSERT_TRUE(eventually([&] { return paused() > resumed(); }));
    run.sent.reset();
    // Each outage of the first run was logged once and ended once, but the last.
    EXPECT_EQ(paused(), resumed() + 1);
    const std::size_t before = paused();
    run.start();
    run.write(18000, 24000, 2);
    for (int i = 0; i < 3; ++i) cluster.start(i);
    run.write(24000, 30000, 2);
    events.expect_records(30000);
    EXPECT_TRUE(eventually([&] { return resumed() == before; }));
    EXPECT_EQ(paused(), before + 1);
}

TEST(forwarder, a_mute_broker_never_holds_back_the_writer_nor_the_stop) {
    const auto log = capture_log();
    listener mute;
    bench run({"nats://127.0.0.1:" + std::to_string(mute.port)});
    run.start();
    run.write(0, 200000, 200000);
    EXPECT_EQ(run.sent->behind(), 200000U);
    EXPECT_TRUE(eventually([&] { return logged(log, "Forwarding paused: ") == 1; }));
    const auto stopping = std::chrono::steady_clock::now();
    run.sent.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 10s);
}
