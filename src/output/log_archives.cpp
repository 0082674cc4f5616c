#include "output/log_archives.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <spdlog/spdlog.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>

#include "io/unique_fd.hpp"

namespace {

[[noreturn]] void fail(int error, const char* step) {
    throw std::system_error(error, std::generic_category(), step);
}

// An archive's name ends with this, so that the names sort as strings in the order the
// archives were made.
constexpr std::string_view suffix_pattern = "ddddddddTddddddZ-dddddd";

bool is_archive_suffix(std::string_view suffix) {
    if (suffix.size() != suffix_pattern.size()) {
        return false;
    }
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(suffix[i])) != 0;
        if (suffix_pattern[i] == 'd' ? !digit : suffix[i] != suffix_pattern[i]) {
            return false;
        }
    }
    return true;
}

// The suffix of the next archive: later than `newest`, also when the clock was set back.
std::string next_suffix(const std::string& newest) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    std::array<char, 32> stamp{};
    std::strftime(stamp.data(), stamp.size(), "%Y%m%dT%H%M%SZ-000000", &utc);
    std::string suffix = stamp.data();
    if (suffix > newest) {
        return suffix;
    }
    suffix = newest;
    // Past the last sequence number the log is held until the clock passes the newest archive.
    if (suffix.ends_with("999999")) {
        fail(EOVERFLOW, "no archive name is left before the clock's next second");
    }
    for (std::size_t i = suffix.size(); i-- > suffix.size() - 6 && ++suffix[i] > '9';) {
        suffix[i] = '0';
    }
    return suffix;
}

// Opens an archive only if the daemon can have made it: a regular file owned by root with no
// other name. Anything else under such a name is left alone (errno EPERM).
io::unique_fd open_own_archive(int folder_fd, const std::string& name) {
    io::unique_fd archive(
        ::openat(folder_fd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (archive && (::fstat(archive.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
                    info.st_uid != 0 || info.st_nlink != 1)) {
        archive.reset();
        errno = EPERM;
    }
    return archive;
}

// Sets the attribute back on a file that was renamed into an archive; `what` names it.
void keep_append_only(int fd, const std::string& what) {
    if (!set_append_only(fd, true)) {
        spdlog::error("Could not make {} append-only: {}", what, std::strerror(errno));
    }
}

}  // namespace

bool set_append_only(int fd, bool on) {
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        return false;
    }
    flags = on ? (flags | FS_APPEND_FL) : (flags & ~FS_APPEND_FL);
    return ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
}

std::string seal_name(const std::string& log) { return log + ".seal"; }

log_archives::log_archives(const permissions::safe_folder& log_folder, std::string log_name,
                           std::uint64_t keep,
                           std::function<bool(const std::filesystem::path& archive)> removable)
    : folder(log_folder),
      name(std::move(log_name)),
      max_archives(keep),
      may_remove(std::move(removable)) {}

// The one place where the log changes files.
void log_archives::make_newest(int log, bool sealing, bool sync) {
    std::vector<std::string> kept = list();
    std::string archive =
        name + "." + next_suffix(kept.empty() ? "" : kept.back().substr(name.size() + 1));
    const int at = folder.folder_descriptor();
    // A seal left from a run that sealed goes along even when this one does not: beside the
    // next log it would describe bytes it never saw.
    io::unique_fd seal_fd(
        ::openat(at, seal_name(name).c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!seal_fd && (sealing || errno != ENOENT)) {
        fail(errno, "cannot open the seal to archive it");
    }
    const bool sealed = static_cast<bool>(seal_fd);
    // An append-only file cannot be renamed: the attribute is lifted for the rename only.
    if (sealed && !set_append_only(seal_fd.get(), false)) {
        fail(errno, "cannot lift the seal's append-only attribute to archive it");
    }
    const auto protect_again = [&] {
        set_append_only(log, true);
        if (seal_fd) {
            set_append_only(seal_fd.get(), true);
        }
    };
    if (!set_append_only(log, false)) {
        const int error = errno;
        protect_again();
        fail(error, "cannot lift the append-only attribute to archive the log");
    }
    // The seal goes first: a crash between the two leaves a log without a seal, which the next
    // start archives under its seal's new name, never a seal that covers more than its log.
    const auto rename_to = [&](const std::string& to) {
        if (sealed && ::renameat2(at, seal_name(name).c_str(), at, seal_name(to).c_str(),
                                  RENAME_NOREPLACE) != 0) {
            return errno;
        }
        if (::renameat2(at, name.c_str(), at, to.c_str(), RENAME_NOREPLACE) != 0) {
            const int error = errno;
            if (sealed) {
                ::renameat(at, seal_name(to).c_str(), at, seal_name(name).c_str());
            }
            return error;
        }
        return 0;
    };
    for (int tries = 0, error = 0; (error = rename_to(archive)) != 0;) {
        if (error != EEXIST || ++tries == 100 || archive.ends_with("999999")) {
            protect_again();
            fail(error, "cannot rename the log to an archive");
        }
        archive.replace(name.size() + 1, std::string::npos,
                        next_suffix(archive.substr(name.size() + 1)));
    }
    const std::string archive_path = (folder.path() / archive).string();
    if (seal_fd) {
        keep_append_only(seal_fd.get(), "the seal of archive " + archive);
    }
    keep_append_only(log, "archive " + archive_path);
    spdlog::info("Rotated the event log to {}", archive_path);
    kept.push_back(archive);
    remove_old(kept);
    protect(kept);
    if (sync) {
        ::fsync(at);
    }
}

bool log_archives::finish_cut_rotation(int log, std::uint64_t size) {
    const int at = folder.folder_descriptor();
    struct stat seal {};
    if (size == 0 || (::fstatat(at, seal_name(name).c_str(), &seal, AT_SYMLINK_NOFOLLOW) == 0 &&
                      seal.st_size > 0)) {
        return false;
    }
    // The newest seal of an archive, when it is newer than every archive.
    const std::size_t suffix = std::string_view(".seal").size();
    std::string archive;
    for (const std::string& entry : entries()) {
        std::string_view stamp = entry;
        stamp.remove_prefix(name.size() + 1);
        if (stamp.ends_with(".seal") && is_archive_suffix(stamp.substr(0, stamp.size() - suffix))) {
            archive = std::max(archive, entry.substr(0, entry.size() - suffix));
        }
    }
    const std::vector<std::string> kept = list();
    if (archive.empty() || (!kept.empty() && kept.back() >= archive)) {
        return false;
    }
    // The log was last written before its seal was renamed; a log written since (its archives
    // moved away without their seals, say) is not the one that seal describes.
    struct stat written {};
    struct stat renamed_seal {};
    if (::fstat(log, &written) != 0 ||
        ::fstatat(at, seal_name(archive).c_str(), &renamed_seal, AT_SYMLINK_NOFOLLOW) != 0 ||
        std::tie(written.st_mtim.tv_sec, written.st_mtim.tv_nsec) >
            std::tie(renamed_seal.st_ctim.tv_sec, renamed_seal.st_ctim.tv_nsec)) {
        spdlog::warn("Not archiving the log under {}: it was written after that seal was made",
                     archive);
        return false;
    }
    if (!set_append_only(log, false)) {
        fail(errno, "cannot lift the append-only attribute to archive the log");
    }
    const int renamed =
        ::renameat2(at, name.c_str(), at, archive.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
    const std::string archive_path = (folder.path() / archive).string();
    keep_append_only(log, "archive " + archive_path);
    if (renamed != 0) {
        fail(renamed, "cannot rename the log to the archive its seal names");
    }
    // Its attribute was lifted for the rename the crash cut short.
    if (const io::unique_fd seal_fd = open_own_archive(at, seal_name(archive))) {
        keep_append_only(seal_fd.get(), "the seal of archive " + archive);
    }
    spdlog::warn("Finished a rotation cut short by a crash: the log is now archive {}",
                 archive_path);
    return true;
}

// Oldest first.
std::vector<std::string> log_archives::list() const {
    std::vector<std::string> found = entries();
    std::erase_if(found, [this](const std::string& entry) {
        return !is_archive_suffix(std::string_view(entry).substr(name.size() + 1));
    });
    return found;
}

// The names in the folder that begin with the log's name and a dot, sorted.
std::vector<std::string> log_archives::entries() const {
    std::vector<std::string> found;
    const std::string prefix = name + ".";
    io::unique_fd listing(
        ::openat(folder.folder_descriptor(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::unique_ptr<DIR, int (*)(DIR*)> folder_entries(
        listing ? ::fdopendir(listing.get()) : nullptr, ::closedir);
    if (!folder_entries) {
        return found;
    }
    listing.release();  // closed with the listing
    while (const dirent* entry = ::readdir(folder_entries.get())) {
        const std::string_view entry_name = entry->d_name;
        if (entry_name.starts_with(prefix)) {
            found.emplace_back(entry_name);
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

void log_archives::remove_let_go() {
    const auto now = std::chrono::steady_clock::now();
    if (waiting && now - checked >= std::chrono::seconds(1)) {
        checked = now;
        remove_old(list());
    }
}

// Removes the oldest archives beyond the number to keep.
void log_archives::remove_old(const std::vector<std::string>& kept) {
    const int at = folder.folder_descriptor();
    for (std::size_t i = 0; max_archives > 0 && i + max_archives < kept.size(); ++i) {
        const std::string archive_path = (folder.path() / kept[i]).string();
        bool removable = true;
        try {
            removable = !may_remove || may_remove(folder.path() / kept[i]);
        } catch (const std::exception& error) {
            // Called after records were written: a failure here must not fail their write.
            spdlog::warn("Keeping archive {}: {}", archive_path, error.what());
            removable = false;
        }
        if (!removable) {
            if (!std::exchange(waiting, true)) {
                spdlog::warn("Keeping archive {} and those after it until they are forwarded",
                             archive_path);
            }
            return;
        }
        const io::unique_fd archive = open_own_archive(at, kept[i]);
        if (!archive || !set_append_only(archive.get(), false) ||
            ::unlinkat(at, kept[i].c_str(), 0) != 0) {
            const int error = errno;
            if (archive) {
                set_append_only(archive.get(), true);
            }
            spdlog::warn("Could not remove archive {}: {}", archive_path, std::strerror(error));
            continue;
        }
        spdlog::info("Removed archive {}", archive_path);
        const std::string seal = seal_name(kept[i]);
        const io::unique_fd seal_fd(
            ::openat(at, seal.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (seal_fd &&
            (::fstat(seal_fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != 0 ||
             !set_append_only(seal_fd.get(), false) || ::unlinkat(at, seal.c_str(), 0) != 0)) {
            spdlog::warn("Could not remove the seal of archive {}: {}", archive_path,
                         std::strerror(errno));
        }
    }
    waiting = false;
}

// Archives lose the attribute to a run killed while it was lifted for a rename, or when it
// could not be set back after a rename or a failed removal.
void log_archives::protect(const std::vector<std::string>& names) const {
    for (const std::string& archive_name : names) {
        const io::unique_fd archive = open_own_archive(folder.folder_descriptor(), archive_name);
        int flags = 0;
        if (!archive || ::ioctl(archive.get(), FS_IOC_GETFLAGS, &flags) != 0 ||
            (flags & FS_APPEND_FL) != 0) {
            continue;
        }
        const std::string archive_path = (folder.path() / archive_name).string();
        if (set_append_only(archive.get(), true)) {
            spdlog::warn("Made archive {} append-only again", archive_path);
        } else {
            spdlog::error("Could not make archive {} append-only: {}", archive_path,
                          std::strerror(errno));
        }
    }
}
