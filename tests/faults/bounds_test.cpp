// The daemon's bounds under what a real host produces: floods of large records into a slow
// disk, and thousands of producers against the descriptor limit.
#include <sys/resource.h>

#include <numeric>

#include "support/support.hpp"

using namespace test;

TEST(bounds, floods_of_any_record_size_keep_memory_bounded_and_lose_nothing) {
    // Record size, producers, the most resident memory allowed in MiB.
    for (const auto& [size, producers, limit_mib] :
         std::vector<std::tuple<std::size_t, std::size_t, double>>{
             {1U << 20, 1, 400}, {64U << 10, 4, 256}, {64, 4, 64}}) {
        test::daemon d;
        // Every write waits for the disk, as on a slow or busy one.
        ASSERT_EQ(shell("cd " + d.folder.root.string() +
                        " && mkdir log && touch log/events.log && chattr +S log/events.log"),
                  "");
        ASSERT_TRUE(d.start());
        auto record = [size](std::size_t p, int i) {
            std::string text = std::to_string(p) + ":" + std::to_string(i) + ":";
            return text + std::string(size > text.size() ? size - text.size() : 0, 'b');
        };
        std::vector<std::unique_ptr<producer>> floods;
        for (std::size_t p = 0; p < producers; ++p) {
            floods.push_back(std::make_unique<producer>(d.endpoint()));
            floods.back()->flood([p, record](int i) { return record(p, i); });
        }
        std::this_thread::sleep_for(8s);
        std::vector<int> sent;
        std::uintmax_t bytes = 0;
        for (std::size_t p = 0; p < producers; ++p) {
            sent.push_back(floods[p]->stop());
            for (int i = 0; i < sent.back(); ++i) bytes += record(p, i).size() + 1;
        }
        EXPECT_TRUE(
            eventually([&] { return std::filesystem::file_size(d.output()) >= bytes; }, 120s));
        const double peak = peak_mib(d.running().pid());
        EXPECT_EQ(d.stop(SIGTERM), 0);
        std::printf("%zu B x %zu: %d records, peak %.1f MiB\n", size, producers,
                    std::accumulate(sent.begin(), sent.end(), 0), peak);
        EXPECT_LT(peak, limit_mib) << size;
        // Read back a record at a time: a flood's log can be larger than the memory here.
        std::ifstream log(d.output(), std::ios::binary);
        std::vector<int> next(producers);
        for (std::string text; std::getline(log, text);) {
            const std::size_t p = std::stoul(text);
            ASSERT_TRUE(p < producers && text == record(p, next[p]++)) << size;
        }
        EXPECT_EQ(next, sent) << size;
    }
}

TEST(bounds, thousands_of_producers_never_exhaust_the_descriptors) {
    const rlimit own{8192, 8192};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
    for (const std::string limit : {"1024:8192", "1024:1024"}) {
        const bool raisable = limit == "1024:8192";
        test::daemon d;
        d.configure("log_level: debug\n");
        ASSERT_TRUE(d.start("prlimit --nofile=" + limit + " --"));
        EXPECT_TRUE(d.running().wait_for_output("Descriptor limit: " + limit.substr(5)));
        zmq::context_t context;
        context.set(zmq::ctxopt::max_sockets, 8192);
        {
            std::vector<zmq::socket_t> crowd;
            for (int i = 0; i < (raisable ? 3000 : 1500); ++i) {
                auto& socket = crowd.emplace_back(context, zmq::socket_type::push);
                socket.set(zmq::sockopt::linger, 0);
                socket.connect(d.endpoint());
                socket.send(zmq::buffer("producer " + std::to_string(i)),
                            zmq::send_flags::dontwait);
            }
            // With room for all, each one connected at once is served; without, the rest wait.
            EXPECT_TRUE(raisable ? d.wait_for_records(3000, 60s).size() == 3000U
                                 : d.running().wait_for_output("Refusing producers", 30s));
        }
        zmq::socket_t late(context, zmq::socket_type::push);
        late.set(zmq::sockopt::linger, 2000);
        late.connect(d.endpoint());
        late.send(zmq::str_buffer("the one that came afterwards"));
        EXPECT_TRUE(
            eventually([&] { return contains(read_file(d.output()), "afterwards\n"); }, 30s))
            << limit;
        EXPECT_EQ(d.stop(SIGTERM), 0) << limit;
    }
}
