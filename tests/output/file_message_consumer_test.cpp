// The consumer on real protected files, with a disk that fills, interrupts and cuts writes
// short put in through its system calls.
#include "output/file_message_consumer.hpp"

#include <fmt/ranges.h>

#include "support/support.hpp"

using namespace test;

namespace {

// Bytes the disk still takes (-1: any), and whether its file system can reserve room.
std::atomic<long long> room{-1};
std::atomic<bool> reservable{true};
std::atomic<int> writes{0};

// Every third call is interrupted and no call takes more than 1000 bytes.
ssize_t small_disk_writev(int fd, const iovec* parts, int count) {
    if (++writes % 3 == 0) return errno = EINTR, -1;
    std::string bytes;
    for (int i = 0; i < count && bytes.size() < 1000; ++i)
        bytes.append(static_cast<const char*>(parts[i].iov_base), parts[i].iov_len);
    bytes.resize(std::min<long long>(
        {static_cast<long long>(bytes.size()), 1000, room < 0 ? 1000 : room.load()}));
    if (bytes.empty()) return errno = ENOSPC, -1;
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (room >= 0) room -= n;
    return n;
}

int small_disk_fallocate(int fd, int mode, off_t offset, off_t length) {
    if (!reservable) return errno = EOPNOTSUPP, -1;
    if (room >= 0 && length > room) return errno = ENOSPC, -1;
    return ::fallocate(fd, mode, offset, length);
}

const log_calls small_disk{small_disk_writev, small_disk_fallocate, ::fdatasync, ::fstat};

std::string record(int i) { return std::to_string(i) + ":" + std::string(i % 60, 'x'); }

// Gives the consumer `records` as one batch.
void give(file_message_consumer& consumer, const std::vector<std::string>& records,
          bool more_waiting = false) {
    const std::vector<std::string_view> batch(records.begin(), records.end());
    consumer.consume(batch, more_waiting);
}

std::string logged(spdlog::sinks::ringbuffer_sink_mt& sink) {
    return fmt::format("{}", fmt::join(sink.last_formatted(), ""));
}

bool append_only(const path& file) { return shell("lsattr " + file.string()).substr(5, 1) == "a"; }

}  // namespace

TEST(file_message_consumer, holds_what_a_full_disk_cannot_take_and_writes_it_whole_once_it_can) {
    // A file system that reserves room, and one that cannot: a record it cuts is taken back.
    for (const bool reserves : {true, false}) {
        temp_dir dir;
        const auto sink = capture_log();
        reservable = reserves;
        room = 8000;
        file_message_consumer consumer(dir / "events.log", {.calls = &small_disk});
        std::string expected;
        for (int i = 0; i < 600; ++i) expected += record(i) + "\n";
        std::jthread producer([&] {
            for (int from = 0; from < 600; from += 50) {
                std::vector<std::string> batch;
                for (int i = from; i < from + 50; ++i) batch.push_back(record(i));
                give(consumer, batch);
            }
        });
        ASSERT_TRUE(eventually([&] { return consumer.records_held() > 0; }));
        const std::string before = read_file(dir / "events.log");
        EXPECT_TRUE(expected.starts_with(before) && before.back() == '\n') << reserves;
        EXPECT_EQ(consumer.hold_reason(), "No space left on device");
        room = -1;
        producer.join();
        EXPECT_EQ(read_file(dir / "events.log"), expected) << reserves;
        // Still append-only once a cut record was taken out.
        EXPECT_TRUE(append_only(dir / "events.log")) << reserves;
        EXPECT_EQ(consumer.records_written(), 600U);
        EXPECT_EQ(consumer.finish() + consumer.records_failed() + consumer.records_held(), 0U);
        const std::string lines = logged(*sink);
        EXPECT_EQ(count(lines, "[error] Event log not writable, holding records: No space"), 1U);
        EXPECT_EQ(count(lines, "[info] Event log writable again after "), 1U);
    }
}

TEST(file_message_consumer, a_stop_gives_up_held_records_at_its_deadline_unless_the_disk_is_back) {
    for (const bool disk_comes_back : {false, true}) {
        temp_dir dir;
        const auto sink = capture_log();
        room = 0;
        file_message_consumer consumer(dir / "events.log", {.calls = &small_disk});
        std::jthread producer([&] {
            give(consumer, {"held", "too"});
            give(consumer, {"behind"});
        });
        ASSERT_TRUE(eventually([&] { return consumer.records_held() == 2; }));
        consumer.request_stop(std::chrono::steady_clock::now() + 2s);
        if (disk_comes_back) room = -1;
        producer.join();
        EXPECT_EQ(consumer.finish() + consumer.records_failed(), disk_comes_back ? 0U : 6U);
        EXPECT_EQ(read_file(dir / "events.log"), disk_comes_back ? "held\ntoo\nbehind\n" : "");
        EXPECT_EQ(contains(logged(*sink), "[error] Lost 3 records held for the event log"),
                  !disk_comes_back);
    }
}

TEST(file_message_consumer, archives_a_full_log_keeps_the_newest_and_never_splits_a_record) {
    temp_dir dir;
    const auto sink = capture_log();
    room = -1;
    const path log = dir / "events.log";
    // A restart counts what the log already holds, and ends a record cut short in it.
    write_file(log, std::string(120, 'o'));
    // An archive left without its attribute by a run killed in the middle of a rotation.
    const path stale = dir / "events.log.20000101T000000Z-000000";
    write_file(stale, "z\n");
    file_message_consumer consumer(log, {.max_file_size = 100, .max_archives = 3});
    // 201 bytes go alone into a log of their own; three in one group are split.
    const std::vector<std::string> records{std::string(30, 'a'), std::string(200, 'b'),
                                           std::string(10, 'c'), std::string(10, 'd'),
                                           std::string(95, 'e')};
    give(consumer, {records[0]});
    give(consumer, {records[1]});
    give(consumer, {records[2], records[3], records[4]});
    std::vector<path> archives;
    for (const auto& entry : std::filesystem::directory_iterator(dir.root))
        if (entry.path() != log) archives.push_back(entry.path());
    std::sort(archives.begin(), archives.end());
    ASSERT_EQ(archives.size(), 3U);
    for (const path& archive : archives) EXPECT_TRUE(append_only(archive)) << archive;
    EXPECT_EQ(read_file(archives[0]) + read_file(archives[1]),
              records[0] + "\n" + records[1] + "\n");
    EXPECT_EQ(read_file(archives[2]), records[2] + "\n" + records[3] + "\n");
    EXPECT_EQ(read_file(log), records[4] + "\n");
    EXPECT_THAT(archives[0].filename().string(),
                testing::MatchesRegex("events\\.log\\.[0-9]{8}T[0-9]{6}Z-[0-9]{6}"));
    EXPECT_EQ(count(logged(*sink), "[info] Rotated the event log to " + dir.root.string()), 4U);
    EXPECT_EQ(count(logged(*sink), "[info] Removed archive " + dir.root.string()), 2U);
    EXPECT_TRUE(
        contains(logged(*sink), "[warning] Made archive " + stale.string() + " append-only again"));
}
