#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace bench {

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Peak resident memory so far of a process (this one by default), in MiB.
inline double peak_rss_mib(pid_t pid = ::getpid()) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

// A scratch folder on the disk the benchmark runs from (not tmpfs), removed at the end.
class scratch {
public:
    scratch() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velmo-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        root = pattern;
    }
    ~scratch() {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            if (entry.is_regular_file()) {
                allow_removal(entry.path());
            }
        }
        std::filesystem::remove_all(root);
    }
    // Removes a file the daemon made append-only.
    static void remove(const std::filesystem::path& file) {
        allow_removal(file);
        std::filesystem::remove(file);
    }
    const std::filesystem::path& path() const { return root; }

private:
    static void allow_removal(const std::filesystem::path& file) {
        int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_APPEND_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }

    std::filesystem::path root;
};

}  // namespace bench
