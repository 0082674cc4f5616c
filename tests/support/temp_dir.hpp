#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace test {

// A fresh folder per test, removed with everything in it (append-only attributes included).
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::filesystem::path& path() const { return root; }
    std::filesystem::path operator/(const std::string& name) const { return root / name; }

private:
    std::filesystem::path root;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& content);
// The records of an event log: its lines without their newlines (a last line without one is
// left out).
std::vector<std::string> split_records(const std::string& content);

}  // namespace test
