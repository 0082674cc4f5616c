// Records per second forwarded into a one-node JetStream stream (nats-server on 127.0.0.1,
// file store, on this machine) beside the rate at which the local log takes the same records,
// for several windows of records in flight.
#include <nats/nats.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "forward/forwarder.hpp"
#include "forward/nats_sink.hpp"
#include "output/file_message_consumer.hpp"
#include "support/harness.hpp"
#include "support/jetstream.hpp"

namespace {

// The log as the forwarder reads it back: here records of one size, each with its newline,
// so that the bench measures the broker path and not a reader.
class fixed_records final : public forward::record_source {
public:
    fixed_records(const std::filesystem::path& log, std::size_t record_size, std::uint64_t count)
        : file(log), size(record_size), total(count) {}
    void read(const forward::position& from, std::size_t max_records, std::size_t max_bytes,
              std::vector<forward::record>& out) override {
        out.clear();
        const std::uint64_t first = from.offset / (size + 1);
        const auto count = std::min<std::uint64_t>(
            {total - first, max_records, std::max<std::size_t>(1, max_bytes / (size + 1))});
        buffer.resize(count * (size + 1));
        file.seekg(static_cast<std::streamoff>(from.offset));
        file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t at = from.offset + i * (size + 1);
            out.push_back({{"bench", at},
                           {"bench", at + size + 1},
                           std::string_view(buffer).substr(i * (size + 1), size)});
        }
    }
    std::optional<std::uint64_t> count_from(const forward::position& from,
                                            const std::stop_token& /*stop*/) override {
        return total - from.offset / (size + 1);
    }

private:
    std::ifstream file;
    std::size_t size;
    std::uint64_t total;
    std::string buffer;
};

void create_stream(const std::string& url) {
    natsConnection* nc = nullptr;
    jsCtx* js = nullptr;
    for (int i = 0; i < 100 && natsConnection_ConnectTo(&nc, url.c_str()) != NATS_OK; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    natsConnection_JetStream(&js, nc, nullptr);
    js_DeleteStream(js, "EVENTS", nullptr, nullptr);
    if (!test::add_events_stream(js, 1, std::chrono::minutes(2))) {
        std::fprintf(stderr, "cannot create the stream\n");
        std::exit(1);
    }
    jsCtx_Destroy(js);
    natsConnection_Destroy(nc);
}

}  // namespace

namespace {

int run(int argc, char** argv) {
    const std::uint64_t count = argc > 1 ? std::stoull(argv[1]) : 200000;
    spdlog::set_level(spdlog::level::warn);
    test::temp_dir dir;
    const std::string port = "14222";
    const std::string url = "nats://127.0.0.1:" + port;
    const std::string server = "nats-server -a 127.0.0.1 -p " + port + " -js -sd " +
                               (dir.root / "store").string() + " >" +
                               (dir.root / "server.log").string() + " 2>&1 & echo $! >" +
                               (dir.root / "server.pid").string();
    if (std::system(server.c_str()) != 0) {
        return 1;
    }
    std::printf("%-7s %8s %14s %14s %10s %12s\n", "record", "window", "local rec/s",
                "forward rec/s", "forward MB/s", "peak MiB");
    for (std::size_t size : {64U, 512U}) {
        for (std::size_t window : {64U, 512U, 2048U}) {
            create_stream(url);
            const auto log = dir.root / ("events-" + std::to_string(size) + "-" +
                                         std::to_string(window) + ".log");
            double local = 0;
            {
                file_message_consumer consumer(log);
                const std::string record(size, 'r');
                const std::vector<std::string_view> batch(1024, record);
                const auto start = std::chrono::steady_clock::now();
                for (std::uint64_t i = 0; i < count; i += batch.size()) {
                    consumer.consume(std::span(batch).first(static_cast<std::size_t>(
                        std::min<std::uint64_t>(batch.size(), count - i))));
                }
                local = static_cast<double>(count) / test::seconds_since(start);
            }
            settings::forward_settings config;
            config.servers = {url};
            config.state_file = dir.root / "forward.state";
            std::filesystem::remove(config.state_file);
            forward::window_limits limits;
            limits.window_records = window;
            limits.window_bytes = std::size_t{64} << 20;
            const auto start = std::chrono::steady_clock::now();
            forward::forwarder forwarder(std::make_unique<forward::nats_sink>(config, window),
                                         std::make_unique<fixed_records>(log, size, count),
                                         config.state_file, limits);
            if (!test::eventually([&] { return forwarder.forwarded() >= count; },
                                  std::chrono::minutes(10), std::chrono::milliseconds(1))) {
                throw std::runtime_error("the stream did not take every record within 10 min");
            }
            const double rate = static_cast<double>(count) / test::seconds_since(start);
            std::printf("%-7zu %8zu %14.0f %14.0f %10.1f %12.1f\n", size, window, local, rate,
                        rate * static_cast<double>(size) / 1e6, test::peak_mib());
        }
    }
    std::system(("kill $(cat " + (dir.root / "server.pid").string() + ")").c_str());
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "forward_bench: %s\n", error.what());
        return 1;
    }
}
