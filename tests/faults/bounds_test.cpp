// The daemon's bounds under what a real host produces: floods of large records into a slow
// disk, records over the size limit, thousands of producers against the descriptor limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <thread>

#include "support/daemon.hpp"
#include "support/flooder.hpp"

using namespace std::chrono_literals;

namespace {

double peak_mib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

// Every write to the file waits for the disk, as on a slow or busy one.
void make_synchronous(const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    int flags = 0;
    ASSERT_EQ(::ioctl(fd, FS_IOC_GETFLAGS, &flags), 0);
    flags |= FS_SYNC_FL;
    ASSERT_EQ(::ioctl(fd, FS_IOC_SETFLAGS, &flags), 0);
    ::close(fd);
}

std::string record(int producer, int i, std::size_t size) {
    std::string text = std::to_string(producer) + ":" + std::to_string(i) + ":";
    text.resize(std::max(size, text.size()), 'b');
    return text;
}

}  // namespace

TEST(bounds, floods_of_any_record_size_keep_memory_bounded_and_lose_nothing) {
    struct flood_case {
        std::size_t size;
        int producers;
        double limit_mib;
    };
    for (const auto& c :
         {flood_case{1U << 20, 1, 400}, flood_case{64U << 10, 4, 256}, flood_case{64, 4, 64}}) {
        test::daemon daemon;
        make_synchronous(daemon.output());
        ASSERT_TRUE(daemon.start());
        std::vector<std::unique_ptr<test::flooder>> floods;
        for (int p = 0; p < c.producers; ++p) {
            floods.push_back(std::make_unique<test::flooder>(
                daemon.endpoint(), [p, size = c.size](int i) { return record(p, i, size); }));
        }
        std::this_thread::sleep_for(12s);
        std::vector<int> sent;
        std::size_t total = 0;
        for (auto& flood : floods) {
            sent.push_back(flood->stop());
            total += static_cast<std::size_t>(sent.back());
        }
        const auto records = daemon.wait_for_records(total, 120s);
        const double peak = peak_mib(daemon.running().pid());
        floods.clear();
        EXPECT_EQ(daemon.stop(SIGTERM), 0);
        std::printf("%zu B x %d: %zu records, peak %.1f MiB\n", c.size, c.producers, total, peak);
        EXPECT_LT(peak, c.limit_mib) << c.size;
        ASSERT_EQ(records.size(), total) << c.size;
        std::vector<int> next(static_cast<std::size_t>(c.producers), 0);
        for (const auto& line : records) {
            const int p = std::stoi(line);
            ASSERT_TRUE(line == record(p, next[static_cast<std::size_t>(p)]++, c.size))
                << c.size << ": " << line.substr(0, 40);
        }
    }
}

TEST(bounds, thousands_of_producers_never_exhaust_the_descriptors) {
    rlimit own{};
    ::getrlimit(RLIMIT_NOFILE, &own);
    own.rlim_cur = own.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
    ASSERT_GE(own.rlim_cur, 8192U) << "this test needs 8192 descriptors of its own";
    for (const char* limit : {"--nofile=1024:8192", "--nofile=1024:1024"}) {
        const bool raisable = std::string(limit).ends_with("8192");
        test::daemon daemon("log_level: debug\n");
        ASSERT_TRUE(daemon.start({"/usr/bin/prlimit", limit, "--"}));
        EXPECT_TRUE(daemon.running().wait_for_output(raisable ? "Descriptor limit: 8192"
                                                              : "Descriptor limit: 1024"));
        zmq::context_t context;
        context.set(zmq::ctxopt::max_sockets, 8192);
        const int count = raisable ? 3000 : 1500;
        {
            std::vector<zmq::socket_t> crowd;
            for (int i = 0; i < count; ++i) {
                crowd.emplace_back(context, zmq::socket_type::push);
                crowd.back().set(zmq::sockopt::linger, 0);
                crowd.back().connect(daemon.endpoint());
                const std::string text = "producer " + std::to_string(i);
                crowd.back().send(zmq::buffer(text), zmq::send_flags::dontwait);
            }
            if (raisable) {
                // Each one connected at once is served.
                EXPECT_EQ(daemon.wait_for_records(3000, 60s).size(), 3000U);
            } else {
                EXPECT_TRUE(daemon.running().wait_for_output("Refusing producers", 30s));
            }
        }
        zmq::socket_t late(context, zmq::socket_type::push);
        late.set(zmq::sockopt::linger, 2000);
        late.connect(daemon.endpoint());
        late.send(zmq::str_buffer("the one that came afterwards"), zmq::send_flags::none);
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        bool served = false;
        while (!served && std::chrono::steady_clock::now() < deadline) {
            const auto records = daemon.wait_for_records(1, 1s);
            served = std::find(records.begin(), records.end(), "the one that came afterwards") !=
                     records.end();
        }
        EXPECT_TRUE(served) << limit;
        EXPECT_EQ(daemon.stop(SIGTERM), 0) << limit;
    }
}
