#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace test {

// A 4 MiB ext4 file system of the test's own, loop-mounted, to fill up and free again.
class small_disk {
public:
    explicit small_disk(const std::filesystem::path& mount_point);
    ~small_disk();
    small_disk(const small_disk&) = delete;
    small_disk& operator=(const small_disk&) = delete;

    bool mounted() const { return is_mounted; }
    const std::filesystem::path& path() const { return root; }
    void fill() const;
    void free_space() const;

private:
    std::filesystem::path root;
    bool is_mounted = false;
};

// Checks a log written across a full disk: `first`, then copies of `record` that are whole or
// cut short (each still ended by its newline), then `last`. Returns how many are whole.
std::size_t whole_records_across_full_disk(const std::string& content, const std::string& first,
                                           const std::string& record, const std::string& last);

}  // namespace test
