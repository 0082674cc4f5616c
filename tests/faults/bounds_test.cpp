// The daemon's bounds under what a real host produces: floods of large records into a slow
// disk, and thousands of producers and silent connections against the descriptor limit.
#include <pwd.h>
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

TEST(bounds, crowds_and_silent_connections_past_the_descriptor_limit_never_end_the_daemon) {
    const rlimit own{16384, 16384};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
    // A user of its own, which may connect (the socket's mode) and holds connections that
    // never speak.
    shell("useradd --system --no-create-home velmo-silent");
    const std::shared_ptr<void> remove(nullptr, [](void*) { shell("userdel velmo-silent"); });
    const passwd* silent = ::getpwnam("velmo-silent");
    ASSERT_NE(silent, nullptr);
    // The daemon's limit ("": the default, far above the crowd), producers that each send a
    // record at once, silent connections.
    for (const auto& [limit, crowd, silent_count] : std::vector<std::tuple<std::string, int, int>>{
             {"1024:1024", 1500, 0}, {"", 3000, 0}, {"1024:1024", 0, 3 * 1024}}) {
        test::daemon d;
        ASSERT_TRUE(d.start(limit.empty() ? "" : "prlimit --nofile=" + limit + " --"));
        shell("chmod 755 " + d.folder.root.string() + " && chmod 666 " + d.endpoint().substr(6));
        const pid_t holder = ::fork();
        if (holder == 0 && ::setgid(silent->pw_gid) == 0 && ::setuid(silent->pw_uid) == 0) {
            for (int i = 0; i < silent_count; ++i) connect_and_send(d.endpoint().substr(6), "");
            ::pause();
        }
        if (holder == 0) ::_exit(1);
        const auto held = [&] {
            return std::distance(std::filesystem::directory_iterator(
                                     "/proc/" + std::to_string(holder) + "/fd"),
                                 {}) >= silent_count;
        };
        EXPECT_TRUE(eventually(held));
        zmq::context_t context;
        context.set(zmq::ctxopt::max_sockets, 8192);
        {
            std::vector<zmq::socket_t> producers;
            for (int i = 0; i < crowd; ++i) {
                auto& socket = producers.emplace_back(context, zmq::socket_type::push);
                socket.set(zmq::sockopt::linger, 0);
                socket.connect(d.endpoint());
                socket.send(zmq::buffer("producer " + std::to_string(i)),
                            zmq::send_flags::dontwait);
            }
            // Under the limit every one is served; past it, as many as the daemon keeps room
            // for (more than half here), and the others wait.
            const auto served = static_cast<std::size_t>(limit.empty() ? crowd : crowd / 2);
            EXPECT_GE(d.wait_for_records(served, 60s).size(), served);
            std::this_thread::sleep_for(crowd > 0 ? 8s : 0s);
        }
        // Served once the crowd is gone, or the silent connections have timed out while their
        // user still holds them.
        zmq::socket_t late(context, zmq::socket_type::push);
        late.set(zmq::sockopt::linger, 2000);
        late.connect(d.endpoint());
        late.send(zmq::str_buffer("the one that came afterwards"));
        EXPECT_TRUE(
            eventually([&] { return contains(read_file(d.output()), "afterwards\n"); }, 20s));
        ::kill(holder, SIGKILL);
        ::waitpid(holder, nullptr, 0);
        EXPECT_EQ(d.stop(SIGTERM), 0) << d.running().output();
        EXPECT_EQ(count(d.running().output(),
                        "[warning] Refusing producers: 896 connections open, the most the "
                        "descriptor limit of 1024 allows"),
                  limit.empty() ? 0U : 1U);
        EXPECT_EQ(contains(d.running().output(), "[info] Serving producers again"), !limit.empty());
    }
}
