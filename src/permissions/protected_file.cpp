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
#include <system_error>

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

private:
    int fd;
};

const char* last_error() { return std::strerror(errno); }

// Ownership, ACLs and attributes applied through a symbolic link or to a directory would
// land on whatever it names, so only a regular file is ever touched.
void refuse_non_regular(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        throw permissions_error("output path is not a regular file: {}", path.string());
    }
}

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
    if (::acl_set_file(target.c_str(), ACL_TYPE_ACCESS, acl) < 0) {
        throw permissions_error("Failed to set ACL, err: {}", last_error());
    }
}

protected_file::protected_file(const std::filesystem::path& file_path, bool create)
    : path(file_path) {
    refuse_non_regular(path);
    if (create) {
        std::filesystem::create_directories(path.parent_path());
        // Created private and exclusively: the ACL that lets auditors read it comes later,
        // and until then nobody else may open it and keep the descriptor.
        if (!std::filesystem::exists(std::filesystem::symlink_status(path))) {
            int created = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                 S_IRUSR | S_IWUSR);
            if (created >= 0) {
                ::close(created);
            }
        }
    }
    scoped_fd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0) {
        throw permissions_error("failed to unset append-only attribute: {}", last_error());
    }
    struct stat info {};
    if (::fstat(file.get(), &info) == 0 && !S_ISREG(info.st_mode)) {
        throw permissions_error("output path is not a regular file: {}", path.string());
    }
    set_append_only(file.get(), false);
}

protected_file::~protected_file() {
    if (fd) {
        ::close(*fd);
    }
}

protected_file& protected_file::set_directory_acl(const std::string& acl) {
    apply_acl(path.parent_path(), acl.c_str());
    return *this;
}

protected_file& protected_file::set_acl(const std::string& acl) {
    apply_acl(path, acl.c_str());
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
    if (::chown(path.c_str(), uid, group_entry->gr_gid) < 0) {
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
    if (::mavi_set_path(path.c_str(), handle) != 0) {
        throw permissions_error("failed to set mac label");
    }
    return *this;
}

int protected_file::open_append_only(std::ios_base::openmode mode) {
    if (fd) {
        ::close(*fd);
        fd.reset();
    }
    if (!std::filesystem::exists(std::filesystem::status(path))) {
        throw std::filesystem::filesystem_error(
            "file does not exist", path,
            std::make_error_code(std::errc::no_such_file_or_directory));
    }
    const int opened = ::open(path.c_str(), open_flags(mode) | O_NOFOLLOW | O_CLOEXEC);
    if (opened < 0) {
        throw std::filesystem::filesystem_error("file does not exist", path,
                                                std::error_code(errno, std::generic_category()));
    }
    fd = opened;
    set_append_only(opened, true);
    return opened;
}

}  // namespace permissions
