#include "support/small_disk.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "support/temp_dir.hpp"

namespace test {

small_disk::small_disk(const std::filesystem::path& mount_point) : root(mount_point) {
    std::filesystem::create_directories(root);
    const auto image = root.parent_path() / (root.filename().string() + ".img");
    // No blocks reserved for root: the tests run as root and must really run out of space.
    const std::string command = "truncate -s 4M " + image.string() + " && mkfs.ext4 -q -m 0 " +
                                image.string() + " && mount -o loop " + image.string() + " " +
                                root.string();
    is_mounted = std::system(command.c_str()) == 0;
}

small_disk::~small_disk() {
    if (is_mounted) {
        ::umount2(root.c_str(), MNT_DETACH);
    }
}

void small_disk::fill() const {
    std::ofstream filler(root / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) &&
           filler.flush()) {
    }
}

void small_disk::free_space() const { std::filesystem::remove(root / "filler"); }

std::size_t whole_records_across_full_disk(const std::string& content, const std::string& first,
                                           const std::string& record, const std::string& last) {
    EXPECT_TRUE(!content.empty() && content.back() == '\n') << "the file ends inside a record";
    const auto records = split_records(content);
    EXPECT_GE(records.size(), 2U);
    if (records.size() < 2) {
        return 0;
    }
    EXPECT_EQ(records.front(), first);
    EXPECT_EQ(records.back(), last);
    std::size_t whole = 0;
    for (std::size_t i = 1; i + 1 < records.size(); ++i) {
        EXPECT_EQ(record.compare(0, records[i].size(), records[i]), 0) << "not a record: " << i;
        whole += records[i] == record ? 1 : 0;
    }
    return whole;
}

}  // namespace test
