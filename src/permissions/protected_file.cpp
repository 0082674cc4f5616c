#include "permissions/protected_file.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <mavi.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

namespace permissions {

namespace {

// Closes a descriptor on every way out of a scope.
class scoped_fd {
public:
    explicit scoped_fd(int descriptor) : fd(descriptor) {}
    ~scoped_fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    scoped_fd(const scoped_fd&) = delete;
    scoped_fd& operator=(const scoped_fd&) = delete;
    int get() const { return fd; }
    int release() { return std::exchange(fd, -1); }

private:
    int fd;
};

const char* last_error() { return std::strerror(errno); }

// The path through which a descriptor's own file is reached, for calls that take a path.
std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void set_append_only(int fd, bool on) {
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) < 0) {
        throw permissions_error("Failed to fetch inode flags, err: {}", last_error());
    }
    flags = on ? (flags | FS_APPEND_FL) : (flags & ~FS_APPEND_FL);
    if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) < 0) {
        throw permissions_error("Failed to set inode flags, err: {}", last_error());
    }
}

int open_flags(std::ios_base::openmode mode) {
    const bool in = (mode & std::ios_base::in) != 0;
    const bool out = (mode & std::ios_base::out) != 0;
    int flags = O_RDONLY;
    if (in && out) {
        flags = O_RDWR;
    } else if (out) {
        flags = O_WRONLY;
    }
    if ((mode & std::ios_base::app) != 0) {
        flags |= O_APPEND;
    }
    return flags;
}

}  // namespace

void apply_acl(const std::filesystem::path& target, const char* text) {
    scoped_fd opened(::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (opened.get() < 0) {
        throw permissions_error("Failed to set ACL, err: {}", last_error());
    }
    apply_acl(opened.get(), text);
}

void apply_acl(int target, const char* text) {
    // A text that does not parse gives a null ACL, which the mask calculation rejects.
    acl_t acl = ::acl_from_text(text);
    struct release {
        acl_t& acl;
        ~release() {
            if (acl != nullptr) {
                ::acl_free(acl);
            }
        }
    } guard{acl};
    if (::acl_calc_mask(&acl) < 0) {
        throw permissions_error("Failed to recalculate ACL mask, err: {}", last_error());
    }
    if (::acl_set_fd(target, acl) < 0) {
        throw permissions_error("Failed to set ACL, err: {}", last_error());
    }
}

protected_file::protected_file(std::filesystem::path file_path, bool create)
    : path(std::move(file_path)) {
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    if (create) {
        std::filesystem::create_directories(path.parent_path());
    }
    scoped_fd folder_fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder_fd.get() < 0) {
        throw permissions_error("failed to unset append-only attribute: {}", last_error());
    }
    const std::string name = path.filename().string();
    if (create) {
        // Created private and exclusively: the ACL that lets auditors read it comes later,
        // and until then nobody else may open it and keep the descriptor.
        const int created =
            ::openat(folder_fd.get(), name.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (created >= 0) {
            ::close(created);
        }
    }
    // A path handle opens whatever is there without side effects, a link or a device included,
    // so that it can be checked before anything reads it.
    scoped_fd found(::openat(folder_fd.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (found.get() < 0) {
        throw permissions_error("failed to unset append-only attribute: {}", last_error());
    }
    struct stat info {};
    if (::fstat(found.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        throw permissions_error("output path is not a regular file: {}", path.string());
    }
    scoped_fd readable(
        ::open(descriptor_path(found.get()).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (readable.get() < 0) {
        throw permissions_error("failed to unset append-only attribute: {}", last_error());
    }
    set_append_only(readable.get(), false);
    directory = folder_fd.release();
    file = readable.release();
}

protected_file::~protected_file() {
    for (const int held : {fd.value_or(-1), file, directory}) {
        if (held >= 0) {
            ::close(held);
        }
    }
}

struct stat protected_file::directory_status() const {
    struct stat info {};
    ::fstat(directory, &info);
    return info;
}

protected_file& protected_file::set_directory_acl(const std::string& acl) {
    apply_acl(directory, acl.c_str());
    return *this;
}

protected_file& protected_file::set_acl(const std::string& acl) {
    apply_acl(file, acl.c_str());
    return *this;
}

protected_file& protected_file::set_owner(const std::string& user, const std::string& group) {
    const passwd* user_entry = ::getpwnam(user.c_str());
    if (user_entry == nullptr) {
        throw permissions_error("Failed to resolve uid for {}, err: {}", user, last_error());
    }
    const uid_t uid = user_entry->pw_uid;
    const struct group* group_entry = ::getgrnam(group.c_str());
    if (group_entry == nullptr) {
        throw permissions_error("Failed to resolve gid for {}, err: {}", group, last_error());
    }
    if (::fchown(file, uid, group_entry->gr_gid) < 0) {
        throw permissions_error("Failed to set file owner user or group, err: {}", last_error());
    }
    return *this;
}

protected_file& protected_file::set_mac_label(const std::string& label) {
    if (::mavi_init() != 0) {
        throw permissions_error("failed to initialize MAVI library interface");
    }
    struct release {
        ~release() { ::mavi_release(); }
    } guard;
    mavil_t handle = ::mavil_get_from_text(label.c_str());
    if (handle == nullptr) {
        throw permissions_error("failed to parse mac label: {}", label);
    }
    // The label library takes a path: the descriptor's own one cannot be swapped.
    if (::mavi_set_path(descriptor_path(file).c_str(), handle) != 0) {
        throw permissions_error("failed to set mac label");
    }
    return *this;
}

int protected_file::open_append_only(std::ios_base::openmode mode) {
    if (fd) {
        ::close(*fd);
        fd.reset();
    }
    struct stat info {};
    if (::fstatat(directory, path.filename().c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == ENOENT) {
        throw std::filesystem::filesystem_error(
            "file does not exist", path,
            std::make_error_code(std::errc::no_such_file_or_directory));
    }
    // Reopened through the descriptor of the file that was protected, never through its name.
    const int opened = ::open(descriptor_path(file).c_str(), open_flags(mode) | O_CLOEXEC);
    if (opened < 0) {
        throw std::filesystem::filesystem_error("file does not exist", path,
                                                std::error_code(errno, std::generic_category()));
    }
    fd = opened;
    set_append_only(opened, true);
    return opened;
}

}  // namespace permissions
