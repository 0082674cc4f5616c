#include "output/file_message_consumer.hpp"

#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ios>

namespace {

char newline[] = {'\n'};

// Records at least this large are written from where they are instead of being copied into
// the group.
constexpr std::size_t large_record = std::size_t{64} << 10;

// Writes every byte of the vector, retrying interrupted and short writes. Returns how many
// bytes went out; errno tells why when that is fewer than asked.
std::size_t write_all(int fd, iovec* parts, int count) {
    std::size_t written = 0;
    while (count > 0) {
        const ssize_t n = ::writev(fd, parts, count);
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

bool write_newline(int fd) {
    iovec part{newline, 1};
    return write_all(fd, &part, 1) == 1;
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

file_message_consumer::file_message_consumer(const std::filesystem::path& path, bool sync_groups)
    : file(path, true), sync(sync_groups) {
    file.set_directory_acl("u::rwx,g::r-x,o::r-x")
        .set_owner("root", "velmo-admin")
        .set_mac_label("0:High:0")
        .set_acl("u::rw-,g::r--,o::---,g:velmo-audit:r")
        .open_append_only(std::ios_base::out | std::ios_base::app);
    // Read through a descriptor of its own: the one kept is write-only.
    const int reader = ::open(("/proc/self/fd/" + std::to_string(*file.descriptor())).c_str(),
                              O_RDONLY | O_CLOEXEC);
    if (reader >= 0) {
        record_open = ends_inside_a_record(reader);
        ::close(reader);
    }
}

file_message_consumer::~file_message_consumer() {
    if (!ends.empty()) {
        write_group(nullptr);
    }
}

void file_message_consumer::consume(std::string_view record, bool last) {
    if (record.size() >= large_record) {
        write_group(&record);
        return;
    }
    group.append(record);
    group.push_back('\n');
    ends.push_back(group.size());
    if (last || ends.size() >= max_group_records || group.size() >= max_group_bytes) {
        write_group(nullptr);
    }
}

void file_message_consumer::report_lost(std::size_t count, const char* reason) {
    for (std::size_t i = 0; i < count; ++i) {
        spdlog::error("could not write message: {}", reason);
    }
    failed.fetch_add(count, std::memory_order_relaxed);
}

// Writes the gathered records, then `large` (when given) with its newline, in one writev. A
// record is in the file whole or reported lost; one cut short is ended by a newline.
void file_message_consumer::write_group(const std::string_view* large) {
    if (large != nullptr) {
        ends.push_back(group.size() + large->size() + 1);
    }
    const std::size_t count = ends.size();
    const auto fd = file.descriptor();
    if (!fd) {
        report_lost(count, "file descriptor is invalid");
    } else if (record_open && !write_newline(*fd)) {
        report_lost(count, std::strerror(errno));
    } else {
        record_open = false;
        iovec parts[3] = {{group.data(), group.size()}, {}, {newline, 1}};
        if (large != nullptr) {
            parts[1] = {const_cast<char*>(large->data()), large->size()};
        }
        const std::size_t bytes = write_all(*fd, parts, large != nullptr ? 3 : 1);
        const int error = errno;
        const auto whole = static_cast<std::size_t>(
            std::upper_bound(ends.begin(), ends.end(), bytes) - ends.begin());
        written.fetch_add(whole, std::memory_order_relaxed);
        if (whole < count) {
            report_lost(count - whole, std::strerror(error));
            if (bytes > (whole == 0 ? 0 : ends[whole - 1])) {
                record_open = !write_newline(*fd);
            }
        }
        if (sync && bytes > 0 && ::fdatasync(*fd) != 0) {
            spdlog::error("could not sync the event log: {}", std::strerror(errno));
        }
    }
    group.clear();
    ends.clear();
}
