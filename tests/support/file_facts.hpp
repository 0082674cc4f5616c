#pragma once

#include <acl/libacl.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/acl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace test {

// What an administrator would read back from a file: its access ACL in short text form,
// its label attribute, its append-only attribute, its mode and owner.
inline std::string access_acl(const std::filesystem::path& path) {
    acl_t acl = acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
    if (acl == nullptr) {
        return "<none>";
    }
    char* text = acl_to_any_text(acl, nullptr, ',', TEXT_ABBREVIATE);
    std::string result = text;
    acl_free(text);
    acl_free(acl);
    return result;
}

inline std::string label(const std::filesystem::path& path) {
    char value[256];
    ssize_t size = getxattr(path.c_str(), "trusted.mavi.label", value, sizeof value);
    return size < 0 ? "<none>" : std::string(value, static_cast<std::size_t>(size));
}

inline struct stat status(const std::filesystem::path& path) {
    struct stat info {};
    lstat(path.c_str(), &info);
    return info;
}

inline bool append_only(const std::filesystem::path& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    int flags = 0;
    const bool result =
        fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0;
    if (fd >= 0) {
        close(fd);
    }
    return result;
}

}  // namespace test
