#include "output/file_message_consumer.hpp"

#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ios>

namespace {

char newline[] = {'\n'};

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
bool ends_inside_a_record(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char last = '\n';
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
        if (::pread(fd, &last, 1, info.st_size - 1) != 1) {
            last = '\n';
        }
    }
    ::close(fd);
    return last != '\n';
}

}  // namespace

file_message_consumer::file_message_consumer(const std::filesystem::path& path) : file(path, true) {
    file.set_directory_acl("u::rwx,g::r-x,o::r-x")
        .set_owner("root", "velmo-admin")
        .set_mac_label("0:High:0")
        .set_acl("u::rw-,g::r--,o::---,g:velmo-audit:r")
        .open_append_only(std::ios_base::out | std::ios_base::app);
    record_open = ends_inside_a_record(path);
}

void file_message_consumer::consume(const std::string& message) {
    const auto fd = file.descriptor();
    if (!fd) {
        spdlog::error("could not write message: file descriptor is invalid");
        return;
    }
    if (record_open) {
        if (!write_newline(*fd)) {
            spdlog::error("could not write message: {}", std::strerror(errno));
            return;
        }
        record_open = false;
    }
    // One writev per record: the same bytes as two writes, in one system call, so the record
    // and its newline land together.
    iovec parts[2] = {{const_cast<char*>(message.data()), message.size()}, {newline, 1}};
    const std::size_t written = write_all(*fd, parts, 2);
    if (written == message.size() + 1) {
        return;
    }
    spdlog::error("could not write message: {}", std::strerror(errno));
    if (written > 0) {
        record_open = !write_newline(*fd);
    }
}
