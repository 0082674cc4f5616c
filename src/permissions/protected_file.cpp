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

const char* last_error() { return std::strerror(errno); }

// The path through which a descriptor's own file is reached, for calls that take a path.
std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Whether the attribute was set before.
bool set_append_only(int fd, bool on) {
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) < 0) {
        throw permissions_error("Failed to fetch inode flags, err: {}", last_error());
    }
    const bool was = (flags & FS_APPEND_FL) != 0;
    flags = on ? (flags | FS_APPEND_FL) : (flags & ~FS_APPEND_FL);
    if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) < 0) {
        throw permissions_error("Failed to set inode flags, err: {}", last_error());
    }
    return was;
}

// Refuses, before anything changes, a file that someone other than root could have opened for
// writing: that descriptor would write past the append-only attribute, which is checked only
// at open. A second link may be someone else's file.
void require_adoptable(const struct stat& info, const std::filesystem::path& path) {
    std::string why;
    if (info.st_nlink != 1) {
        why = fmt::format("it has {} links", info.st_nlink);
    } else if (info.st_uid != 0) {
        const passwd* owner = ::getpwuid(info.st_uid);
        why = fmt::format("it is owned by {}, not root",
                          owner != nullptr ? owner->pw_name : std::to_string(info.st_uid));
    } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = fmt::format("its mode {:o} lets others than root write to it", info.st_mode & 07777U);
    } else {
        return;
    }
    throw permissions_error("Refusing to adopt {}: {}; move it aside to start a fresh log",
                            path.string(), why);
}

std::filesystem::path parent_folder(const std::filesystem::path& path, bool create) {
    if (path.has_parent_path()) {
        return path.parent_path();
    }
    if (create) {
        throw std::filesystem::filesystem_error("cannot create directories", path.parent_path(),
                                                std::make_error_code(std::errc::invalid_argument));
    }
    return ".";
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
    io::unique_fd opened(::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!opened) {
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

protected_file::protected_file(const std::filesystem::path& file_path, bool create)
    : path(file_path),
      directory(parent_folder(file_path, create), create),
      name(file_path.filename().string()) {
    prepare(create);
}

protected_file::protected_file(const safe_folder& folder, const std::string& file_name, bool create)
    : path(folder.path() / file_name), directory(folder.duplicate()), name(file_name) {
    prepare(create);
}

void protected_file::prepare(bool create) {
    // One name in the folder walked: anything more would be resolved without the walk's checks.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        throw permissions_error("output path is not a regular file: {}", path.string());
    }
    directory.require_private();
    // A path handle opens whatever is there without side effects, a link or a device included,
    // so that it can be checked before anything reads it.
    io::unique_fd found(
        ::openat(directory.folder_descriptor(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!found && errno == ENOENT && create) {
        // Without a name, nobody else can open it until it is protected and linked.
        io::unique_fd made(::openat(directory.folder_descriptor(), ".",
                                    O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR));
        unnamed = static_cast<bool>(made);
        if (!made && (errno == EOPNOTSUPP || errno == EISDIR)) {
            // A file system without unnamed files: created private and exclusively instead.
            made.reset(::openat(directory.folder_descriptor(), name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                S_IRUSR | S_IWUSR));
        }
        if (!made) {
            throw permissions_error("Failed to create file {}, err: {}", path.string(),
                                    last_error());
        }
        file.reset(::open(descriptor_path(made.get()).c_str(), O_RDONLY | O_CLOEXEC));
        if (!file) {
            throw permissions_error("Failed to create file {}, err: {}", path.string(),
                                    last_error());
        }
        return;
    }
    if (!found) {
        throw permissions_error("failed to unset append-only attribute: {}", last_error());
    }
    struct stat info {};
    if (::fstat(found.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        throw permissions_error("output path is not a regular file: {}", path.string());
    }
    require_adoptable(info, path);
    file.reset(::open(descriptor_path(found.get()).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file) {
        throw permissions_error("failed to unset append-only attribute: {}", last_error());
    }
    reprotect = set_append_only(file.get(), false);
}

protected_file::~protected_file() {
    if (reprotect) {
        try {
            set_append_only(file.get(), true);
        } catch (const permissions_error&) {
            // Nothing more can be done for it here; the failure that ended the chain is reported.
        }
    }
}

std::optional<int> protected_file::descriptor() const {
    return out ? std::optional<int>(out.get()) : std::nullopt;
}

protected_file& protected_file::set_directory_acl(const std::string& acl) {
    apply_acl(directory.folder_descriptor(), acl.c_str());
    return *this;
}

protected_file& protected_file::set_acl(const std::string& acl) {
    apply_acl(file.get(), acl.c_str());
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
    if (::fchown(file.get(), uid, group_entry->gr_gid) < 0) {
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
    if (::mavi_set_path(descriptor_path(file.get()).c_str(), handle) != 0) {
        throw permissions_error("failed to set mac label");
    }
    return *this;
}

int protected_file::open_append_only(std::ios_base::openmode mode) {
    out.reset();
    // Linked before the attribute is set: the kernel refuses a link to an append-only file.
    if (unnamed) {
        if (::linkat(AT_FDCWD, descriptor_path(file.get()).c_str(), directory.folder_descriptor(),
                     name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            throw permissions_error("Failed to link file {}, err: {}", path.string(), last_error());
        }
        unnamed = false;
        // Held from then on through its name, so that /proc and lsof show the log's path and
        // not that of a deleted file; only root can have put anything else there.
        io::unique_fd named(::openat(directory.folder_descriptor(), name.c_str(),
                                     O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        struct stat linked {
        }, made{};
        if (!named || ::fstat(named.get(), &linked) != 0 || ::fstat(file.get(), &made) != 0) {
            throw permissions_error("Failed to link file {}, err: {}", path.string(), last_error());
        }
        if (linked.st_ino != made.st_ino || linked.st_dev != made.st_dev) {
            throw permissions_error("File {} was replaced while it was linked", path.string());
        }
        file = std::move(named);
    }
    struct stat info {};
    if (::fstatat(directory.folder_descriptor(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == ENOENT) {
        throw std::filesystem::filesystem_error(
            "file does not exist", path,
            std::make_error_code(std::errc::no_such_file_or_directory));
    }
    // Reopened through the descriptor of the file that was protected, never through its name.
    const int opened = ::open(descriptor_path(file.get()).c_str(), open_flags(mode) | O_CLOEXEC);
    if (opened < 0) {
        throw std::filesystem::filesystem_error("file does not exist", path,
                                                std::error_code(errno, std::generic_category()));
    }
    out.reset(opened);
    set_append_only(opened, true);
    reprotect = false;
    return opened;
}

}  // namespace permissions
