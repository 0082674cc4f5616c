// The real daemon on a real, nearly full ext4: records are held, never lost, and go in whole
// once there is room; a stop while it holds gives them up visibly and in bounded time.
#include "support/support.hpp"

using namespace test;

TEST(full_disk, holds_every_record_until_there_is_room_and_a_stop_gives_them_up_visibly) {
    // Record size, records sent, room left on the disk, and whether it is stopped while holding.
    for (const auto& [size, total, room_kib, stop] :
         std::vector<std::tuple<std::size_t, std::size_t, int, bool>>{
             {120, 30000, 96, false}, {200 << 10, 40, 1100, false}, {120, 30000, 96, true}}) {
        test::daemon d;
        const std::string disk = (d.folder / "disk").string(), log = disk + "/events.log";
        // A 48 MiB ext4 file system with no blocks kept for root, which the test is.
        if (shell("cd " + d.folder.root.string() + " && mkdir disk && truncate -s 48M disk.img " +
                  "&& mkfs.ext4 -q -m 0 disk.img && mount -o loop disk.img disk") != "") {
            GTEST_SKIP() << "cannot mount a loop device here";
        }
        const std::shared_ptr<void> unmount(nullptr, [&](void*) { shell("umount -l " + disk); });
        d.configure("", "", "", log);
        // The service manager's end of NOTIFY_SOCKET.
        const std::string notify = (d.folder / "notify.sock").string();
        process manager("exec socat -u UNIX-RECV:" + notify + " -");
        ASSERT_TRUE(eventually([&] { return std::filesystem::exists(notify); }));
        ASSERT_TRUE(d.start("env NOTIFY_SOCKET=" + notify)) << d.running().output();
        shell("dd if=/dev/zero bs=1M of=" + disk + "/filler; truncate -s -" +
              std::to_string(room_kib) + "K " + disk + "/filler");
        const auto record = [size](int i) { return (std::to_string(i) + ":").append(size, 'r'); };
        producer p(d.endpoint());
        p.flood(record, static_cast<int>(total));
        EXPECT_TRUE(d.running().wait_for_output(
            "[error] Event log not writable, holding records: No space left on device", 30s));
        EXPECT_TRUE(eventually([&] {
            const std::string said = manager.output();
            return contains(said, "STATUS=Holding ") &&
                   contains(said, " records: event log not writable: No space left on device");
        }));
        if (!stop) {
            // Freed while the producer still sends.
            std::filesystem::remove(disk + "/filler");
            EXPECT_TRUE(eventually([&] { return count(read_file(log), "\n") == total; }, 60s));
            EXPECT_TRUE(d.running().wait_for_output("[info] Event log writable again after "));
        }
        d.running().signal(SIGTERM);
        EXPECT_EQ(d.running().wait(15s), stop ? 1 : 0);
        // Whole records only, in order; every one not in the file is counted as lost.
        const std::string content = read_file(log), output = d.running().output();
        const auto records = split_records(content);
        EXPECT_TRUE(content.empty() || content.back() == '\n');
        for (std::size_t i = 0; i < records.size(); ++i) ASSERT_EQ(records[i], record(int(i)));
        EXPECT_TRUE(contains(output, "Records written: " + std::to_string(records.size()) +
                                         ", failed: " + (stop ? "" : "0\n")));
        EXPECT_EQ(contains(output, "[error] Lost "), stop);
        EXPECT_FALSE(contains(output, "could not"));
    }
}
