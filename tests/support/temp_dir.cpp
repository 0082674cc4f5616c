#include "support/temp_dir.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test {

namespace {

void clear_append_only(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        return;
    }
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0) {
        flags &= ~FS_APPEND_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
}

}  // namespace

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmo-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_regular_file(ignored) && !it->is_symlink(ignored)) {
            clear_append_only(it->path());
        }
    }
    std::filesystem::remove_all(root, ignored);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream content;
    content << stream.rdbuf();
    return std::move(content).str();
}

void write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << content;
}

std::vector<std::string> split_records(const std::string& content) {
    std::vector<std::string> records;
    std::size_t start = 0;
    for (auto end = content.find('\n'); end != std::string::npos; end = content.find('\n', start)) {
        records.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return records;
}

}  // namespace test
