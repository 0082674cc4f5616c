#include "output/file_message_consumer.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

#include "support/file_facts.hpp"
#include "support/log_capture.hpp"
#include "support/small_disk.hpp"
#include "support/temp_dir.hpp"

namespace {

// Lets the file grow only to a given size, as a full disk would: a write that crosses the
// limit is cut short and the next one fails with EFBIG.
class file_size_limit {
public:
    explicit file_size_limit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous);
        rlimit limit{bytes, previous.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~file_size_limit() { setrlimit(RLIMIT_FSIZE, &previous); }

private:
    rlimit previous{};
};

}  // namespace

TEST(file_message_consumer, records_are_the_message_bytes_and_one_newline) {
    test::temp_dir dir;
    const auto path = dir / "logs" / "events.log";
    std::string large(1 << 20, 'x');
    large[1000] = '\0';
    large[2000] = '\n';
    {
        file_message_consumer consumer(path);
        consumer.consume("");
        consumer.consume("two\nlines");
        consumer.consume("ends in newline\n");
        consumer.consume(std::string("nul\0inside", 10));
        consumer.consume(large);
    }
    const std::string first =
        "\ntwo\nlines\nends in newline\n\n" + std::string("nul\0inside\n", 11) + large + "\n";
    EXPECT_EQ(test::read_file(path), first);
    EXPECT_TRUE(test::append_only(path));
    EXPECT_EQ(test::access_acl(path), "u::rw-,g::r--,g:velmo-audit:r--,m::r--,o::---");
    EXPECT_EQ(test::label(path), "0:High:0");

    {
        file_message_consumer restarted(path);
        for (int i = 0; i < 10000; ++i) {
            restarted.consume(std::to_string(i));
        }
    }
    std::string expected = first;
    for (int i = 0; i < 10000; ++i) {
        expected += std::to_string(i) + "\n";
    }
    EXPECT_EQ(test::read_file(path), expected);
}

TEST(file_message_consumer, a_record_is_written_whole_or_visibly_not_at_all) {
    test::log_capture log;
    test::temp_dir dir;
    const auto path = dir / "events.log";
    file_message_consumer consumer(path);
    consumer.consume("first");
    {
        file_size_limit full(6);
        consumer.consume("nothing of this fits");
    }
    EXPECT_EQ(test::read_file(path), "first\n");
    {
        file_size_limit nearly_full(10);
        consumer.consume("cut short");
    }
    EXPECT_EQ(test::read_file(path), "first\ncut ");
    consumer.consume("next");
    EXPECT_EQ(test::read_file(path), "first\ncut \nnext\n");
    EXPECT_EQ(log.count("error: could not write message: File too large"), 2U);
    EXPECT_EQ(log.lines().size(), 2U);
}

TEST(file_message_consumer, a_record_cut_by_an_earlier_run_is_ended_first) {
    test::temp_dir dir;
    const auto path = dir / "events.log";
    test::write_file(path, "whole\ncut sh");
    file_message_consumer consumer(path);
    consumer.consume("next");
    EXPECT_EQ(test::read_file(path), "whole\ncut sh\nnext\n");
}

TEST(file_message_consumer, a_full_disk_loses_records_visibly_and_recovers) {
    test::log_capture log;
    test::temp_dir dir;
    test::small_disk disk(dir / "disk");
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot mount a loop device here";
    }
    const auto path = disk.path() / "events.log";
    file_message_consumer consumer(path);
    consumer.consume("before");
    disk.fill();
    const std::string record(3000, 'r');
    for (int i = 0; i < 20; ++i) {
        consumer.consume(record);
    }
    const std::size_t failed = log.count("error: could not write message: No space left on device");
    EXPECT_GT(failed, 0U);
    EXPECT_EQ(log.lines().size(), failed);
    disk.free_space();
    consumer.consume("after");

    const std::size_t whole =
        test::whole_records_across_full_disk(test::read_file(path), "before", record, "after");
    EXPECT_EQ(whole + failed, 20U);
}
