#include "output/file_message_consumer.hpp"

#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ios>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "seal/seal_error.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

std::array<char, 1> newline{'\n'};

// Records at least this large are written from where they are instead of being copied into
// the group.
constexpr std::size_t large_record = std::size_t{64} << 10;

const log_calls real_calls{::writev, ::fallocate, ::fdatasync, ::fstat};

// `step` names what failed, when it is not the write of records itself.
[[noreturn]] void fail(int error, const char* step = nullptr) {
    if (step == nullptr) {
        throw std::system_error(error, std::generic_category());
    }
    throw std::system_error(error, std::generic_category(), step);
}

// Writes every byte of the vector, retrying interrupted and short writes. Returns how many
// bytes went out; errno tells why when that is fewer than asked.
std::size_t write_all(const log_calls& calls, int fd, iovec* parts, int count) {
    std::size_t written = 0;
    while (count > 0) {
        const ssize_t n = calls.writev(fd, parts, count);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return written;
        }
        if (n == 0) {
            // Nothing taken for a non-empty write: give up rather than spin.
            errno = EIO;
            return written;
        }
        auto left = static_cast<std::size_t>(n);
        written += left;
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return written;
}

// Takes the last `bytes` out of the log, from its real end (which the count of its writer may
// have drifted from), lifting the append-only attribute for the truncation only. Sets `length`
// to what is left when they went out; returns the error of the call that failed, or 0.
int take_back(const log_calls& calls, int fd, off_t bytes, off_t& length) {
    struct stat info {};
    if (calls.fstat(fd, &info) != 0 || !set_append_only(fd, false)) {
        return errno;
    }
    int error = 0;
    if (::ftruncate(fd, info.st_size - bytes) == 0) {
        length = info.st_size - bytes;
    } else {
        error = errno;
    }
    if (!set_append_only(fd, true) && error == 0) {
        error = errno;
    }
    return error;
}

// An earlier run that was killed in the middle of a write can leave a record without its
// newline at the end of the file.
bool ends_inside_a_record(int fd) {
    char last = '\n';
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
        if (::pread(fd, &last, 1, info.st_size - 1) != 1) {
            last = '\n';
        }
    }
    return last != '\n';
}

}  // namespace

file_message_consumer::file_message_consumer(std::filesystem::path log_path,
                                             const log_options& chosen)
    : path(std::move(log_path)),
      options(chosen),
      calls(chosen.calls != nullptr ? *chosen.calls : real_calls) {
    open_log();
    // Read through a descriptor of its own: the one kept is write-only.
    const io::unique_fd reader(::open(
        ("/proc/self/fd/" + std::to_string(*file->descriptor())).c_str(), O_RDONLY | O_CLOEXEC));
    if (reader) {
        record_open = ends_inside_a_record(reader.get());
    }
    archives->protect(archives->list());
}

file_message_consumer::~file_message_consumer() {
    if (!ends.empty()) {
        {
            std::lock_guard lock(mutex);
            deadline = deadline.value_or(clock_type::now());
        }
        finish();
    }
}

namespace {

// Folder ACL, owner, label, ACL and the append-only attribute: the log and its seal alike.
void protect(permissions::protected_file& file) {
    file.set_directory_acl("u::rwx,g::r-x,o::r-x")
        .set_owner("root", "velmo-admin")
        .set_mac_label("0:High:0")
        .set_acl("u::rw-,g::r--,o::---,g:velmo-audit:r")
        .open_append_only(std::ios_base::out | std::ios_base::app);
}

// The status of the file being written, once its name is known to still refer to it: only that
// file is archived, and a log replaced under the daemon is left as it is, its records held.
struct stat named_file(const log_calls& calls, int fd, int at, const std::string& name,
                       const std::filesystem::path& path) {
    struct stat opened {};
    struct stat named {};
    if (calls.fstat(fd, &opened) != 0) {
        fail(errno, "cannot read the event log's status");
    }
    if (::fstatat(at, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
        throw std::runtime_error(path.string() +
                                 " is no longer the file being written: replaced or removed");
    }
    return opened;
}

}  // namespace

// The one place a log is made: created with no name and linked once protected, at start-up and
// after each rotation alike, in the folder walked at start-up; its seal with it.
void file_message_consumer::open_log() {
    file.reset();
    if (folder) {
        file.emplace(*folder, path.filename().string(), true);
    } else {
        file.emplace(path, true);
    }
    protect(*file);
    if (!folder) {
        folder.emplace(file->folder().duplicate());
        archives.emplace(*folder, path.filename().string(), options.max_archives,
                         options.may_remove);
    }
    struct stat info {};
    if (calls.fstat(*file->descriptor(), &info) != 0) {
        fail(errno, "cannot read the event log's status");
    }
    size = static_cast<std::uint64_t>(info.st_size);
    reserved = size;
    // A rotation cut short leaves the log's seal under the archive's name, sealing or not.
    if (archives->finish_cut_rotation(*file->descriptor(), size)) {
        open_log();
        return;
    }
    if (!options.seal_key_file.empty() || options.record_lengths) {
        try {
            open_seal();
        } catch (...) {
            // Without its seal the new log is not taken: the next try makes both again, and
            // records never go to a log whose writes the archive's seal would describe.
            file.reset();
            throw;
        }
    }
}

void file_message_consumer::open_seal() {
    permissions::protected_file seal_file(*folder, seal_name(path.filename().string()), true);
    protect(seal_file);
    io::unique_fd seal_fd(::fcntl(*seal_file.descriptor(), F_DUPFD_CLOEXEC, 0));
    if (!seal_fd) {
        fail(errno, "cannot keep the seal open");
    }
    if (sealer) {
        sealer->rotate(std::move(seal_fd), *file->descriptor());
        return;
    }
    // A log begun anew after a rotation that a crash cut short still continues the chain of
    // the newest archive.
    const auto kept = archives->list();
    io::unique_fd previous(kept.empty() ? -1
                                        : ::openat(folder->folder_descriptor(),
                                                   seal_name(kept.back()).c_str(),
                                                   O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    try {
        sealer.emplace(std::move(seal_fd), *file->descriptor(),
                       seal::writer::options{
                           options.seal_key_file, options.sync,
                           [](const std::string& problem) { spdlog::error("Seal: {}", problem); },
                           std::move(previous)});
    } catch (const seal::seal_error& error) {
        throw seal::seal_error("{}: {}", seal_name(path.string()), error.what());
    }
}

void file_message_consumer::consume(std::span<const std::string_view> records, bool more_waiting) {
    for (const std::string_view record : records) {
        if (record.size() >= large_record) {
            large = record;
            ends.push_back(group.size() + record.size() + 1);
            write_group();
            continue;
        }
        group.append(record);
        group.push_back('\n');
        ends.push_back(group.size());
        if (ends.size() >= max_group_records || group.size() >= max_group_bytes) {
            write_group();
        }
    }
    // A lone record goes out at once: only records known to be coming keep the group open.
    if (!more_waiting && !ends.empty()) {
        write_group();
    }
}

// Writes the gathered records, holding them while the log cannot take them: retried soon at
// first, then once a second, until written or until the stop's deadline has passed.
void file_message_consumer::write_group() {
    auto delay = std::chrono::milliseconds(10);
    // Once records were given up, none after them goes in: the log ends with what came before.
    while (done < ends.size() && lost == 0) {
        try {
            write_records();
        } catch (const std::exception& error) {
            if (!holding_since) {
                holding_since = clock_type::now();
                spdlog::error("Event log not writable, holding records: {}", error.what());
            }
            {
                std::lock_guard lock(mutex);
                reason = error.what();
            }
            held.store(ends.size() - done, std::memory_order_relaxed);
            if (!wait_to_retry(delay)) {
                break;
            }
            delay = std::min(delay * 2, std::chrono::milliseconds(1000));
        }
    }
    if (done < ends.size()) {
        lost += ends.size() - done;
        failed.fetch_add(ends.size() - done, std::memory_order_relaxed);
    }
    if (done == ends.size() && holding_since) {
        const std::chrono::duration<double> held_for = clock_type::now() - *holding_since;
        spdlog::info("Event log writable again after {:.1f} s", held_for.count());
        holding_since.reset();
    }
    held.store(0, std::memory_order_relaxed);
    group.clear();
    ends.clear();
    large = {};
    done = 0;
}

// Writes the records not yet written, in runs that keep the log within its size: a log that
// the next record would take past it is archived first, unless it is empty.
void file_message_consumer::write_records() {
    if (!file) {
        open_log();
    }
    // Ended in the log it was cut in, before any rotation.
    if (record_open) {
        iovec part{newline.data(), 1};
        if (write_all(calls, *file->descriptor(), &part, 1) != 1) {
            fail(errno, "cannot end the record cut short");
        }
        record_open = false;
        ++size;
    }
    while (done < ends.size()) {
        const std::size_t begin = done == 0 ? 0 : ends[done - 1];
        std::size_t end = ends.size();
        if (options.max_file_size > 0) {
            const std::uint64_t room =
                size < options.max_file_size ? options.max_file_size - size : 0;
            end = static_cast<std::size_t>(
                std::upper_bound(ends.begin() + static_cast<std::ptrdiff_t>(done), ends.end(),
                                 begin + room) -
                ends.begin());
            if (end == done && size > 0) {
                rotate();
                continue;
            }
            end = std::max(end, done + 1);
        }
        write_run(end);
    }
}

// Writes records done..end with one writev, into room reserved first, so that a full disk
// takes none of them rather than part of one. Without a reservation a record cut short is
// taken back out of the file.
void file_message_consumer::write_run(std::size_t end) {
    const int fd = *file->descriptor();
    const std::size_t begin = done == 0 ? 0 : ends[done - 1];
    const std::size_t bytes = ends[end - 1] - begin;
    reserve_room(fd, bytes);
    std::array<iovec, 3> parts{};
    int count = 0;
    if (begin < group.size()) {
        parts[count++] = {group.data() + begin, std::min(ends[end - 1], group.size()) - begin};
    }
    if (end == ends.size() && !large.empty()) {
        parts[count++] = {const_cast<char*>(large.data()), large.size()};
        parts[count++] = {newline.data(), 1};
    }
    const std::array<iovec, 3> original = parts;
    const std::size_t sent = write_all(calls, fd, parts.data(), count);
    const int error = errno;
    const auto whole = static_cast<std::size_t>(
        std::upper_bound(ends.begin() + static_cast<std::ptrdiff_t>(done),
                         ends.begin() + static_cast<std::ptrdiff_t>(end), begin + sent) -
        ends.begin());
    const std::size_t kept = (whole == done ? begin : ends[whole - 1]) - begin;
    if (sent > kept) {
        off_t length = -1;
        const int cut_error = take_back(calls, fd, static_cast<off_t>(sent - kept), length);
        if (cut_error != 0) {
            spdlog::error("could not take a cut record out of the event log: {}",
                          std::strerror(cut_error));
        }
        // Left in, it is ended by a newline before the next record.
        const bool cut = length >= 0;
        record_open = !cut;
        size = cut ? static_cast<std::uint64_t>(length) : size + sent;
        // A truncation frees the room reserved past the end too.
        reserved = cut ? size : reserved;
    } else {
        size += kept;
    }
    if (whole < end) {
        seal_run(original.data(), count, record_open ? sent : kept, whole);
        committed(whole);
        fail(error);
    }
    if (options.sync) {
        int result = 0;
        while ((result = calls.fdatasync(fd)) != 0 && errno == EINTR) {
        }
        // Once while it fails, as for a hold: a disk that cannot sync would fail every group.
        if (result != 0 && !sync_failing) {
            spdlog::error("could not sync the event log: {}", std::strerror(errno));
        }
        sync_failing = result != 0;
    }
    seal_run(original.data(), count, kept, end);
    committed(end);
}

// Seals what a run put in the log: its first `bytes` bytes, which begin with records done..end.
void file_message_consumer::seal_run(const iovec* parts, int count, std::size_t bytes,
                                     std::size_t end) {
    if (!sealer) {
        return;
    }
    std::array<std::string_view, 3> pieces;
    std::size_t used = 0;
    for (int i = 0; i < count && bytes > 0; ++i) {
        const std::size_t take = std::min(parts[i].iov_len, bytes);
        pieces[used++] = {static_cast<const char*>(parts[i].iov_base), take};
        bytes -= take;
    }
    lengths.clear();
    for (std::size_t i = done; i < end; ++i) {
        lengths.push_back(ends[i] - (i == 0 ? 0 : ends[i - 1]) - 1);
    }
    sealer->seal({pieces.data(), used}, lengths, size);
}

// Makes sure the blocks for `bytes` more are allocated: a group ahead, so that a run of small
// groups costs one call, or only what is asked when a nearly full disk has no more.
void file_message_consumer::reserve_room(int fd, std::size_t bytes) {
    if (!reserve || size + bytes <= reserved) {
        return;
    }
    for (const std::size_t length : {std::max(bytes, max_group_bytes), bytes}) {
        int result = 0;
        while ((result = calls.fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(size),
                                         static_cast<off_t>(length))) != 0 &&
               errno == EINTR) {
        }
        if (result == 0) {
            reserved = size + length;
            return;
        }
        if (errno == EOPNOTSUPP) {
            reserve = false;
            return;
        }
    }
    fail(errno);  // a full disk, which the write of the records would meet as well
}

// Records done..end are in the log, whole.
void file_message_consumer::committed(std::size_t end) {
    written.fetch_add(end - done, std::memory_order_relaxed);
    if (options.on_written && end > done) {
        options.on_written(end - done);
    }
    done = end;
    archives->remove_let_go();
}

// Turns the log into an archive beside it and starts a new one.
void file_message_consumer::rotate() {
    const int fd = *file->descriptor();
    const struct stat opened =
        named_file(calls, fd, folder->folder_descriptor(), path.filename().string(), path);
    // A truncation to its own size frees the blocks reserved past its end (a hole punched there
    // is a no-op on ext4); not when the file is not the size this writer counted.
    if (reserved > size && static_cast<std::uint64_t>(opened.st_size) == size &&
        set_append_only(fd, false)) {
        if (::ftruncate(fd, static_cast<off_t>(size)) == 0) {
            reserved = size;
        }
        set_append_only(fd, true);
    }
    archives->make_newest(fd, sealer.has_value(), options.sync);
    file.reset();
    size = 0;
    open_log();
}

// Waits `delay`, less when a stop is asked for meanwhile; false once the stop's deadline has
// passed.
bool file_message_consumer::wait_to_retry(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex);
    const auto now = clock_type::now();
    if (deadline && now >= *deadline) {
        return false;
    }
    stop_requested.wait_until(lock, deadline ? std::min(now + delay, *deadline) : now + delay);
    return true;
}

void file_message_consumer::request_stop(std::chrono::steady_clock::time_point stop_at) {
    {
        std::lock_guard lock(mutex);
        deadline = stop_at;
    }
    stop_requested.notify_all();
}

std::uint64_t file_message_consumer::finish() {
    if (!ends.empty()) {
        write_group();
    }
    if (lost > 0) {
        spdlog::error("Lost {} records held for the event log", lost);
    }
    return std::exchange(lost, 0);
}

std::string file_message_consumer::hold_reason() const {
    std::lock_guard lock(mutex);
    return reason;
}
