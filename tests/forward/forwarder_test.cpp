// The forwarder against real nats-server processes: one node and a broker that accepts
// connections and never speaks; and the records of a log read back from the files the daemon
// wrote, also while a rotation is under way.
#include "forward/forwarder.hpp"

#include "forward/nats_sink.hpp"
#include "forward/seal_source.hpp"
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
    std::optional<std::uint64_t> count_from(const forward::position& from,
                                            const std::stop_token& /*stop*/) override {
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

TEST(forwarder, a_mute_broker_never_holds_back_the_writer_nor_the_stop) {
    const auto log = capture_log();
    listener mute;
    bench run({"nats://127.0.0.1:" + std::to_string(mute.port)});
    run.start();
    // Records written while the log is counted may be counted twice until it catches up.
    ASSERT_TRUE(eventually([&] { return run.sent->behind().has_value(); }));
    run.write(0, 200000, 200000);
    EXPECT_EQ(run.sent->behind(), 200000U);
    EXPECT_TRUE(eventually([&] { return logged(log, "Forwarding paused: ") == 1; }));
    const auto stopping = std::chrono::steady_clock::now();
    run.sent.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 10s);
}

// A rotation renames the seal, then the log. A cursor in the log is found in every state on the
// way; only one whose files are gone goes back to the oldest record, with a warning.
TEST(forward_source, a_cursor_in_a_log_being_rotated_is_found_in_every_state_on_the_way) {
    const auto captured = capture_log();
    test::daemon d;
    d.configure("log_level: info\nforward: {nats: {servers: ['nats://127.0.0.1:" +
                    std::to_string(free_port()) + "']}, state_file: '" +
                    (d.folder / "forward.state").string() + "'}\n",
                "", ", max_file_size: 8K");
    ASSERT_TRUE(d.start());
    producer sender(d.endpoint());
    std::uintmax_t bytes = 0;
    for (int i = 0; i < 200; ++i) {
        sender.send(record(i));
        bytes += record(i).size() + 1;
    }
    ASSERT_TRUE(eventually([&] {
        std::uintmax_t logged = 0;
        for (const auto& entry : std::filesystem::directory_iterator(d.output().parent_path()))
            logged += entry.path().extension() == ".seal" ? 0 : entry.file_size();
        return logged == bytes;
    }));
    ASSERT_EQ(d.stop(SIGTERM), 0);
    const path log = d.output();
    const path archive = log.string() + ".99991231T235959Z-000000";
    std::string identity;
    const seal::reader seal(log.string() + ".seal");
    for (const unsigned char byte : seal.file_header().log) {
        identity += fmt::format("{:02x}", byte);
    }
    shell("chattr -R -a " + log.parent_path().string());
    const auto first_read = [&] {
        forward::seal_source source(log);
        std::vector<forward::record> out;
        source.read({identity, 0}, 1, 1, out);
        return out.empty() ? std::string("none") : std::string(out[0].bytes);
    };
    const std::string in_log = first_read();
    ASSERT_NE(in_log, record(0));
    const struct {
        std::string state;
        std::function<void()> change;
        std::string first;
        std::size_t warnings;
    } states[] = {
        {"seal renamed",
         [&] { std::filesystem::rename(log.string() + ".seal", archive.string() + ".seal"); },
         in_log, 0},
        {"log renamed", [&] { std::filesystem::rename(log, archive); }, in_log, 0},
        {"new log begun", [&] { write_file(log, ""); }, in_log, 0},
        {"archive removed",
         [&] {
             std::filesystem::remove(archive);
             std::filesystem::remove(archive.string() + ".seal");
         },
         record(0), 1},
    };
    for (const auto& step : states) {
        step.change();
        EXPECT_EQ(first_read(), step.first) << step.state;
        EXPECT_EQ(logged(captured, "is no longer there"), step.warnings) << step.state;
    }
}
