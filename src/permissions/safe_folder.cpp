#include "permissions/safe_folder.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace permissions {

namespace {

// As many links as the kernel follows in one path.
constexpr int max_links = 40;

const char* last_error() { return std::strerror(errno); }

std::string user_name(uid_t uid) {
    const passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

// Anyone but root who owns a folder, or is let in by its group, other or ACL bits (with an
// ACL, the group bits are its mask), may change its entries.
bool writable_by_others(const struct stat& info) {
    return info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool sticky(const struct stat& info) { return (info.st_mode & S_ISVTX) != 0; }

unsigned mode_bits(const struct stat& info) { return info.st_mode & 07777U; }

struct held_folder {
    io::unique_fd fd;
    struct stat info;
    std::string path;
};

held_folder open_folder(int at, const char* name, const std::string& path) {
    held_folder folder{
        io::unique_fd(::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC)), {}, path};
    if (!folder.fd || ::fstat(folder.fd.get(), &folder.info) != 0) {
        throw permissions_error("Failed to open folder {}, err: {}", path, last_error());
    }
    return folder;
}

std::string read_link(int link, const std::string& path) {
    std::array<char, 4096> target{};
    const ssize_t length = ::readlinkat(link, "", target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
        throw permissions_error("Failed to read link {}, err: {}", path,
                                length < 0 ? last_error() : std::strerror(ENAMETOOLONG));
    }
    return {target.data(), static_cast<std::size_t>(length)};
}

std::string join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

}  // namespace

safe_folder::safe_folder(io::unique_fd folder, std::filesystem::path path)
    : fd(std::move(folder)), where(std::move(path)) {}

safe_folder::safe_folder(const std::filesystem::path& folder, bool create)
    : where(std::filesystem::absolute(folder)) {
    // The folders reached so far, from `/`: what ".." goes back to.
    std::vector<held_folder> chain;
    chain.push_back(open_folder(AT_FDCWD, "/", "/"));
    std::deque<std::string> left;
    for (const auto& part : where.relative_path()) {
        left.push_back(part.string());
    }
    int links = 0;
    while (!left.empty()) {
        const std::string name = std::move(left.front());
        left.pop_front();
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            if (chain.size() > 1) {
                chain.pop_back();
            }
            continue;
        }
        const held_folder& parent = chain.back();
        const std::string path = join(parent.path, name);
        // In a folder others may change, only root's own entries of a sticky folder of root's
        // stay put.
        const bool shared = writable_by_others(parent.info);
        if (shared && !(sticky(parent.info) && parent.info.st_uid == 0)) {
            throw permissions_error(
                "Refusing {}: its folder {} may be changed by others than root (owner {}, mode "
                "{:o})",
                path, parent.path, user_name(parent.info.st_uid), mode_bits(parent.info));
        }
        // A path handle opens a link itself, without following it, and changes nothing.
        io::unique_fd entry(
            ::openat(parent.fd.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        bool made = false;
        if (!entry && errno == ENOENT && create) {
            // Private until it is ours and complete; its mode is set below, whatever the umask.
            made = ::mkdirat(parent.fd.get(), name.c_str(), 0700) == 0;
            if (!made && errno != EEXIST) {
                throw permissions_error("Failed to create folder {}, err: {}", path, last_error());
            }
            entry.reset(::openat(parent.fd.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        }
        struct stat info {};
        if (!entry || ::fstat(entry.get(), &info) != 0) {
            throw permissions_error("Failed to open folder {}, err: {}", path, last_error());
        }
        if (shared && info.st_uid != 0) {
            throw permissions_error(
                "Refusing {}: it belongs to {}, not root, in the shared folder {}", path,
                user_name(info.st_uid), parent.path);
        }
        if (S_ISLNK(info.st_mode)) {
            if (info.st_uid != 0) {
                throw permissions_error("Refusing {}: it is a link owned by {}, not root", path,
                                        user_name(info.st_uid));
            }
            if (++links > max_links) {
                throw permissions_error("Failed to open folder {}, err: {}", path,
                                        std::strerror(ELOOP));
            }
            const std::filesystem::path target = read_link(entry.get(), path);
            const auto parts = target.relative_path();
            left.insert(left.begin(), parts.begin(), parts.end());
            if (target.is_absolute()) {
                chain.resize(1);
            }
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            throw permissions_error("Failed to open folder {}, err: {}", path,
                                    std::strerror(ENOTDIR));
        }
        held_folder opened = open_folder(entry.get(), ".", path);
        if (made &&
            (::fchmod(opened.fd.get(), 0755) != 0 || ::fstat(opened.fd.get(), &opened.info) != 0)) {
            throw permissions_error("Failed to create folder {}, err: {}", path, last_error());
        }
        chain.push_back(std::move(opened));
    }
    fd = std::move(chain.back().fd);
}

void safe_folder::require_private() const {
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        throw permissions_error("Failed to open folder {}, err: {}", where.string(), last_error());
    }
    if (writable_by_others(info)) {
        throw permissions_error(
            "Log folder {} is writable by others than root (owner {}, mode {:o}): a local user "
            "could replace the event log",
            where.string(), user_name(info.st_uid), mode_bits(info));
    }
    if (sticky(info)) {
        throw permissions_error(
            "Log folder {} is sticky (mode {:o}): a folder shared with others cannot hold the "
            "event log",
            where.string(), mode_bits(info));
    }
}

safe_folder safe_folder::duplicate() const {
    io::unique_fd copy(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy) {
        throw permissions_error("Failed to open folder {}, err: {}", where.string(), last_error());
    }
    return {std::move(copy), where};
}

}  // namespace permissions
