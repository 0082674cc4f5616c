#include "forward/seal_source.hpp"

#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "seal/reader.hpp"
#include "seal/seal_error.hpp"

namespace forward {

namespace {

struct log_file {
    std::filesystem::path path;
    std::string identity;
};

std::string identity_text(const seal::identity& bytes) {
    std::string text;
    for (const unsigned char byte : bytes) {
        text += fmt::format("{:02x}", byte);
    }
    return text;
}

std::filesystem::path seal_of(const std::filesystem::path& file) { return file.string() + ".seal"; }

// The archives of `log`, oldest first, then the log, each named by its seal's identity; a file
// without a readable seal is left out.
std::vector<log_file> log_files(const std::filesystem::path& log) {
    const auto folder = log.has_parent_path() ? log.parent_path() : ".";
    const std::string prefix = log.filename().string() + ".";
    std::vector<std::filesystem::path> paths;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix) && !name.ends_with(".seal") && !name.ends_with(".new")) {
            paths.push_back(entry.path());
        }
    }
    std::sort(paths.begin(), paths.end());
    paths.push_back(log);
    std::vector<log_file> files;
    for (const auto& path : paths) {
        try {
            files.push_back({path, identity_text(seal::reader(seal_of(path)).file_header().log)});
        } catch (const seal::seal_error&) {
        }
    }
    return files;
}

std::ptrdiff_t index_of(const std::vector<log_file>& files, const std::string& identity) {
    const auto found = std::find_if(files.begin(), files.end(), [&](const log_file& file) {
        return file.identity == identity;
    });
    return found == files.end() ? -1 : found - files.begin();
}

void read_exactly(int fd, char* into, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, into, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            throw std::runtime_error(got < 0 ? std::strerror(errno)
                                             : "the log is shorter than its seal");
        }
        into += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
}

}  // namespace

seal_source::seal_source(std::filesystem::path log_path, bool sync)
    : log(std::move(log_path)), sync_reads(sync) {}

seal_source::~seal_source() = default;

void seal_source::open_at(const position& from) {
    current.reset();
    pieces.clear();
    taken = 0;
    const auto files = log_files(log);
    std::ptrdiff_t index = from.log.empty() ? 0 : index_of(files, from.log);
    std::uint64_t offset = from.offset;
    if (index < 0) {
        spdlog::warn("Forwarding from the oldest log kept: the log {} is no longer there",
                     from.log);
        index = 0;
        offset = 0;
    }
    if (files.empty()) {
        return;
    }
    const auto& file = files[static_cast<std::size_t>(index)];
    io::unique_fd seal_fd(::open(seal_of(file.path).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!seal_fd || ::fstat(seal_fd.get(), &info) != 0) {
        return;
    }
    current_seal = info.st_ino;
    current = std::make_unique<seal::reader>(std::move(seal_fd), seal_of(file.path).string());
    current_log.reset(::open(file.path.c_str(), O_RDONLY | O_CLOEXEC));
    current_identity = file.identity;
    next = {file.identity, offset};
    while (next_entry()) {
        const auto past = std::find_if(pieces.begin(), pieces.end(),
                                       [&](const piece& p) { return p.offset >= offset; });
        if (past != pieces.end()) {
            taken = static_cast<std::size_t>(past - pieces.begin());
            break;
        }
    }
    next = {file.identity, offset};
}

bool seal_source::next_entry() {
    pieces.clear();
    taken = 0;
    while (auto item = current->next()) {
        for (const auto& found : seal::reader::records(*item)) {
            if (found.framed) {
                pieces.push_back({found.offset, found.length, found.offset + found.length + 1});
                continue;
            }
            // A span: its lines are the best guess at its records.
            std::string bytes(found.length, '\0');
            read_exactly(current_log.get(), bytes.data(), bytes.size(), found.offset);
            for (std::size_t start = 0; start < bytes.size();) {
                const std::size_t end = std::min(bytes.find('\n', start), bytes.size());
                pieces.push_back({found.offset + start, end - start,
                                  found.offset + std::min(end + 1, bytes.size())});
                start = end + 1;
            }
        }
        if (!pieces.empty()) {
            return true;
        }
    }
    return false;
}

bool seal_source::next_file() {
    struct stat info {};
    if (::stat(seal_of(log).c_str(), &info) != 0 || info.st_ino == current_seal) {
        return false;
    }
    // The file was rotated away: what was written before that is in its seal by now.
    if (next_entry()) {
        return true;
    }
    const auto files = log_files(log);
    const auto index = index_of(files, current_identity);
    if (index < 0 || static_cast<std::size_t>(index) + 1 >= files.size()) {
        return false;
    }
    open_at({files[static_cast<std::size_t>(index) + 1].identity, 0});
    return current != nullptr;
}

void seal_source::read(const position& from, std::size_t max_records, std::size_t max_bytes,
                       std::vector<record>& out) {
    out.clear();
    if (!current || from != next) {
        open_at(from);
    }
    if (!current) {
        return;
    }
    std::vector<piece> chosen;
    std::uint64_t bytes = 0;
    while (chosen.size() < max_records && (chosen.empty() || bytes < max_bytes)) {
        if (taken == pieces.size() && !next_entry() && (!chosen.empty() || !next_file())) {
            break;
        }
        if (taken == pieces.size()) {
            continue;
        }
        chosen.push_back(pieces[taken++]);
        bytes += chosen.back().length;
        next.offset = chosen.back().end;
    }
    if (chosen.empty()) {
        return;
    }
    const std::uint64_t first = chosen.front().offset;
    buffer.resize(chosen.back().offset + chosen.back().length - first);
    read_exactly(current_log.get(), buffer.data(), buffer.size(), first);
    // A record published but lost from the disk by a power cut would leave the cursor past the
    // log's end, and the records written next would reuse its id.
    if (sync_reads && ::fdatasync(current_log.get()) != 0) {
        throw std::runtime_error(std::strerror(errno));
    }
    for (const auto& p : chosen) {
        out.push_back({{current_identity, p.offset},
                       {current_identity, p.end},
                       std::string_view(buffer).substr(p.offset - first, p.length)});
    }
}

// Counts through the seals alone; only a span's bytes are read, for its lines.
std::uint64_t seal_source::count_from(const position& from) {
    seal_source walk(log);
    walk.open_at(from);
    if (!walk.current) {
        return 0;
    }
    std::uint64_t count = walk.pieces.size() - walk.taken;
    while (walk.next_entry() || walk.next_file()) {
        count += walk.pieces.size() - walk.taken;
    }
    return count;
}

position seal_source::resume_at(const position& from) {
    if (from.log.empty() || index_of(log_files(log), from.log) < 0) {
        return from;  // read() says what it does with a log it no longer has
    }
    seal_source walk(log);
    walk.open_at({from.log, 0});
    if (!walk.current) {
        return from;
    }
    std::uint64_t end = 0;
    do {
        if (!walk.pieces.empty()) {
            end = walk.pieces.back().end;
        }
    } while (walk.next_entry());
    if (from.offset <= end) {
        return from;
    }
    spdlog::warn(
        "Forwarding cursor {}:{} is past the end of the records of its log, resuming "
        "at their end, {}",
        from.log, from.offset, end);
    return {from.log, end};
}

bool forwarded_past(const std::filesystem::path& log, const std::filesystem::path& archive,
                    const position& cursor) {
    const auto files = log_files(log);
    const auto at = index_of(files, cursor.log);
    // By name: the consumer names the archive from its folder, the log may be named otherwise.
    const auto found = std::find_if(files.begin(), files.end(), [&](const log_file& file) {
        return file.path.filename() == archive.filename();
    });
    // An archive with no readable seal is never read, so it never stops retention.
    if (found == files.end()) {
        spdlog::warn("Archive {} has no readable seal and cannot be forwarded", archive.string());
        return true;
    }
    return !cursor.log.empty() && found - files.begin() < at;
}

}  // namespace forward
