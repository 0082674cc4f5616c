#include "output/file_message_consumer.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

#include "support/file_facts.hpp"
#include "support/log_capture.hpp"
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

// A small ext4 file system of its own, so the test can fill it up.
class small_file_system {
public:
    explicit small_file_system(const test::temp_dir& dir) : mount_point(dir / "mnt") {
        std::filesystem::create_directory(mount_point);
        const auto image = dir / "fs.img";
        const std::string make = "truncate -s 4M " + image.string() + " && mkfs.ext4 -q -m 0 " +
                                 image.string() + " && mount -o loop " + image.string() + " " +
                                 mount_point.string();
        mounted = std::system(make.c_str()) == 0;
    }
    ~small_file_system() {
        if (mounted) {
            ::umount2(mount_point.c_str(), MNT_DETACH);
        }
    }
    bool mounted = false;
    std::filesystem::path mount_point;
};

std::size_t fill(const std::filesystem::path& path) {
    std::ofstream filler(path, std::ios::binary);
    const std::string block(4096, 'f');
    std::size_t written = 0;
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) &&
           filler.flush()) {
        written += block.size();
    }
    return written;
}

std::vector<std::string> lines(const std::string& content) {
    std::vector<std::string> result;
    std::size_t start = 0;
    for (auto end = content.find('\n'); end != std::string::npos; end = content.find('\n', start)) {
        result.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    EXPECT_EQ(start, content.size()) << "the file ends inside a record";
    return result;
}

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
    small_file_system disk(dir);
    if (!disk.mounted) {
        GTEST_SKIP() << "cannot mount a loop device here";
    }
    const auto path = disk.mount_point / "events.log";
    file_message_consumer consumer(path);
    consumer.consume("before");
    fill(disk.mount_point / "filler");
    const std::string record(3000, 'r');
    for (int i = 0; i < 20; ++i) {
        consumer.consume(record);
    }
    const std::size_t failed = log.count("error: could not write message: No space left on device");
    EXPECT_GT(failed, 0U);
    EXPECT_EQ(log.lines().size(), failed);
    std::filesystem::remove(disk.mount_point / "filler");
    consumer.consume("after");

    auto written = lines(test::read_file(path));
    ASSERT_GE(written.size(), 2U);
    EXPECT_EQ(written.front(), "before");
    EXPECT_EQ(written.back(), "after");
    std::size_t whole = 0;
    for (std::size_t i = 1; i + 1 < written.size(); ++i) {
        EXPECT_EQ(record.compare(0, written[i].size(), written[i]), 0) << "not a record: " << i;
        whole += written[i] == record ? 1 : 0;
    }
    EXPECT_EQ(whole + failed, 20U);
}
