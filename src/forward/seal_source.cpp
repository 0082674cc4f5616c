#include "forward/seal_source.hpp"

#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <string_view>
#include <thread>
#include <utility>

#include "seal/reader.hpp"
#include "seal/seal_error.hpp"

namespace forward {

namespace {

struct log_file {
    std::filesystem::path path;  // where its bytes are read
    std::filesystem::path seal;  // none for an archive written while nothing sealed
    std::string identity;
    // The archive name the log takes in a rotation under way: its seal has that name already.
    std::filesystem::path renaming_to;
    // Its bytes are all there: those its seal does not cover are read as a span.
    bool archived = false;
    // Why a seal beside it cannot be read.
    std::string problem;
};

std::string identity_text(const seal::identity& bytes) {
    std::string text;
    for (const unsigned char byte : bytes) {
        text += fmt::format("{:02x}", byte);
    }
    return text;
}

std::filesystem::path seal_of(const std::filesystem::path& file) { return file.string() + ".seal"; }

// An archive without a seal has no identity of its own but its name, which another host (or
// another log of the same name here) may have too; with the machine's and the folder's, it is
// one of a kind in a stream a fleet shares.
std::string unsealed_identity(const std::filesystem::path& archive) {
    static const std::string machine = [] {
        std::ifstream in("/etc/machine-id");
        std::string id;
        std::getline(in, id);
        if (id.empty()) {
            std::array<char, 256> host{};
            ::gethostname(host.data(), host.size() - 1);
            id = host.data();
        }
        return id;
    }();
    return machine + archive.string();
}

// A log missed by one walk of its folder (one being renamed may be) is looked for again before
// it counts as gone.
constexpr int lookups = 5;
constexpr auto look_again = std::chrono::milliseconds(20);
// How many lines of a span are taken at a time.
constexpr std::size_t span_pieces = 4096;
constexpr std::size_t span_chunk = std::size_t{1} << 20;

// An archive's name is the log's, a dot, then a UTC second and a sequence number.
bool archive_suffix(std::string_view suffix) {
    constexpr std::string_view pattern = "ddddddddTddddddZ-dddddd";
    return suffix.size() == pattern.size() &&
           std::equal(pattern.begin(), pattern.end(), suffix.begin(), [](char want, char got) {
               return want == 'd' ? std::isdigit(static_cast<unsigned char>(got)) != 0
                                  : want == got;
           });
}

// The archives of `log`, oldest first, then the log, each named by its seal's identity; an
// archive without a readable seal (written while nothing sealed) by its own name, which never
// changes. A rotation renames the seal first, then the log: in between, the newest archive's
// seal stands alone and the log has none, and the log's records are read under the archive's
// seal.
std::vector<log_file> log_files(const std::filesystem::path& log) {
    const auto folder = log.has_parent_path() ? log.parent_path() : ".";
    const std::string name = log.filename().string();
    const std::string prefix = name + ".";
    std::set<std::string> logs;
    std::set<std::string> seals;
    bool log_sealed = false;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string found = entry.path().filename().string();
        if (found == name + ".seal") {
            log_sealed = true;
        } else if (!found.starts_with(prefix) || found.ends_with(".new")) {
            continue;
        } else if (found.ends_with(".seal")) {
            seals.insert(found.substr(0, found.size() - 5));
        } else {
            logs.insert(found);
        }
    }
    std::set<std::string> archives = logs;
    archives.insert(seals.begin(), seals.end());
    std::vector<log_file> paths;
    for (const auto& archive : archives) {
        if (logs.contains(archive) && seals.contains(archive)) {
            paths.push_back({folder / archive, seal_of(folder / archive), {}, {}, true, {}});
        } else if (logs.contains(archive) &&
                   archive_suffix(std::string_view(archive).substr(prefix.size()))) {
            paths.push_back(
                {folder / archive, {}, unsealed_identity(folder / archive), {}, true, {}});
        } else if (!logs.contains(archive) && archive == *archives.rbegin() && !log_sealed) {
            paths.push_back({log, seal_of(folder / archive), {}, folder / archive, true, {}});
        }
    }
    paths.push_back({log, seal_of(log), {}, {}, false, {}});
    std::vector<log_file> files;
    for (auto& file : paths) {
        if (file.seal.empty()) {
            files.push_back(std::move(file));
            continue;
        }
        try {
            file.identity = identity_text(seal::reader(file.seal).file_header().log);
            files.push_back(std::move(file));
        } catch (const seal::seal_error& problem) {
            // An archive of bytes that are all there is read all the same, line by line.
            if (file.archived && file.renaming_to.empty()) {
                file.problem = problem.what();
                file.identity = unsealed_identity(file.path);
                file.seal.clear();
                files.push_back(std::move(file));
            }
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

bool named(const std::filesystem::path& file) {
    struct stat info {};
    return ::lstat(file.c_str(), &info) == 0;
}

// The log that `seal` (open) belongs to, or none when a rotation moved the files meanwhile.
io::unique_fd open_log(const log_file& file, int seal) {
    const auto open = [](const std::filesystem::path& path) {
        return io::unique_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    };
    if (!file.renaming_to.empty()) {
        io::unique_fd bytes = open(file.renaming_to);
        if (!bytes) {
            bytes = open(file.path);
            // Not renamed when it was opened, so it was the log then, not a new one.
            if (named(file.renaming_to)) {
                bytes = open(file.renaming_to);
            }
        }
        return bytes;
    }
    io::unique_fd bytes = open(file.path);
    // The seal still under its name once the log is open: the log had not been renamed yet.
    struct stat opened {};
    struct stat by_name {};
    if (::fstat(seal, &opened) != 0 || ::stat(file.seal.c_str(), &by_name) != 0 ||
        opened.st_ino != by_name.st_ino) {
        bytes.reset();
    }
    return bytes;
}

struct opened_file {
    io::unique_fd seal;
    io::unique_fd bytes;
    ino_t seal_inode = 0;
    std::string failure;  // what could not be opened, and why
};

// A file's seal, if it has one, and its bytes.
opened_file open_both(const log_file& file) {
    opened_file opened;
    if (!file.seal.empty()) {
        struct stat info {};
        opened.seal.reset(::open(file.seal.c_str(), O_RDONLY | O_CLOEXEC));
        if (!opened.seal || ::fstat(opened.seal.get(), &info) != 0) {
            opened.failure = file.seal.string() + ": " + std::strerror(errno);
            return opened;
        }
        opened.seal_inode = info.st_ino;
    }
    errno = ENOENT;  // the log moved on between the two
    opened.bytes = file.seal.empty()
                       ? io::unique_fd(::open(file.path.c_str(), O_RDONLY | O_CLOEXEC))
                       : open_log(file, opened.seal.get());
    if (!opened.bytes) {
        opened.failure = file.path.string() + ": " + std::strerror(errno);
    }
    return opened;
}

}  // namespace

seal_source::seal_source(std::filesystem::path log_path, bool sync, std::size_t longest)
    : log(std::move(log_path)), sync_reads(sync), max_piece(std::max<std::size_t>(longest, 1)) {}

seal_source::~seal_source() = default;

void seal_source::open_at(const position& from) {
    current.reset();
    current_log.reset();
    pieces.clear();
    taken = 0;
    span_at = span_end = 0;
    scanned.clear();
    tail_taken = false;
    const auto offset = open_file(from);
    if (!offset) {
        return;
    }
    while (current) {
        const auto item = current->next();
        if (!item || take(*item, *offset)) {
            break;
        }
    }
    if (pieces.empty()) {
        take_tail(*offset);
    }
    next = {current_identity, *offset};
}

std::optional<std::uint64_t> seal_source::open_file(const position& from) {
    std::uint64_t offset = from.offset;
    bool gone = false;
    std::string failure;
    for (int attempt = 0; attempt < lookups; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(look_again);
        }
        const auto files = log_files(log);
        const std::ptrdiff_t index = from.log.empty() ? 0 : index_of(files, from.log);
        if (index < 0 && attempt + 1 < lookups) {
            continue;
        }
        if (index < 0 && !std::exchange(gone, true)) {
            spdlog::warn("Forwarding from the oldest log kept: the log {} is no longer there",
                         from.log);
            offset = 0;
        }
        if (files.empty()) {
            return std::nullopt;
        }
        const auto& file = files[static_cast<std::size_t>(std::max<std::ptrdiff_t>(index, 0))];
        opened_file opened = open_both(file);
        if (!opened.failure.empty()) {
            failure = std::move(opened.failure);
            continue;
        }
        if (!file.problem.empty() && tell && std::exchange(told, file.identity) != file.identity) {
            spdlog::warn("Archive {} has no readable seal ({}): forwarding its lines",
                         file.path.string(), file.problem);
        }
        current_seal = opened.seal_inode;
        if (opened.seal) {
            current = std::make_unique<seal::reader>(std::move(opened.seal), file.seal.string());
        }
        current_log = std::move(opened.bytes);
        current_identity = file.identity;
        archived = file.archived;
        return offset;
    }
    // Tried again at the next read: said once, not at each.
    if (!failure.empty() && tell && std::exchange(told, failure) != failure) {
        spdlog::warn("Cannot forward from {}", failure);
    }
    return std::nullopt;
}

bool seal_source::take(const seal::reader::item& item, std::uint64_t from) {
    for (const auto& found : seal::reader::records(item)) {
        if (!found.framed) {
            span_at = std::max(found.offset, from);
            span_end = found.offset + found.length;
            scan_span();
        } else if (found.offset >= from) {
            pieces.push_back({found.offset, found.length, found.offset + found.length + 1});
        }
    }
    return !pieces.empty();
}

// A span's records are taken to be its lines. Each piece starts where the one before ended, so
// the same bytes make the same pieces whichever piece a reading starts from: a record keeps its
// id across restarts. The last piece of a span that does not end with a newline ends with it.
void seal_source::scan_span() {
    const std::size_t capacity = std::max(span_chunk, max_piece + 1);
    while (span_at < span_end && pieces.size() < span_pieces) {
        // The bytes read last time serve as long as they hold a whole piece.
        const std::uint64_t held_end = scanned_from + scanned.size();
        if (span_at < scanned_from || span_at >= held_end ||
            (held_end - span_at <= max_piece && held_end < span_end)) {
            scanned.resize(
                static_cast<std::size_t>(std::min<std::uint64_t>(capacity, span_end - span_at)));
            read_exactly(current_log.get(), scanned.data(), scanned.size(), span_at);
            scanned_from = span_at;
        }
        const std::string_view bytes =
            std::string_view(scanned).substr(static_cast<std::size_t>(span_at - scanned_from));
        const bool last = scanned_from + scanned.size() == span_end;
        std::size_t start = 0;
        while (start < bytes.size() && pieces.size() < span_pieces) {
            const std::size_t reach = std::min(bytes.size() - start, max_piece + 1);
            const std::size_t newline = bytes.substr(start, reach).find('\n');
            if (newline != std::string_view::npos) {
                pieces.push_back({span_at + start, newline, span_at + start + newline + 1});
                start += newline + 1;
            } else if (reach == max_piece + 1) {
                pieces.push_back({span_at + start, max_piece, span_at + start + max_piece});
                start += max_piece;
            } else if (last) {
                pieces.push_back({span_at + start, bytes.size() - start, span_end});
                start = bytes.size();
            } else {
                break;  // the rest of the line is in the next chunk
            }
        }
        span_at += start;
    }
}

// The bytes of an archive past what its seal covers (written while the seal was not kept, or
// all of them when it has none) are a span, taken once the seal's entries are.
bool seal_source::take_tail(std::uint64_t from) {
    struct stat info {};
    if (!archived || std::exchange(tail_taken, true) || ::fstat(current_log.get(), &info) != 0) {
        return false;
    }
    span_at = std::max(current ? current->log_end() : 0, from);
    span_end = static_cast<std::uint64_t>(info.st_size);
    scan_span();
    return !pieces.empty();
}

bool seal_source::next_entry() {
    pieces.clear();
    taken = 0;
    if (span_at < span_end) {
        scan_span();
        if (!pieces.empty()) {
            return true;
        }
    }
    while (current) {
        const auto item = current->next();
        if (!item) {
            break;
        }
        if (take(*item, 0)) {
            return true;
        }
    }
    return take_tail(0);
}

bool seal_source::next_file() {
    struct stat info {};
    if (!archived) {
        if (::stat(seal_of(log).c_str(), &info) != 0 || info.st_ino == current_seal) {
            return false;
        }
        // The file was rotated away: what was written before that is in its seal by now.
        archived = true;
    }
    if (next_entry()) {
        return true;
    }
    const auto files = log_files(log);
    const auto index = index_of(files, current_identity);
    if (index < 0 || static_cast<std::size_t>(index) + 1 >= files.size()) {
        return false;
    }
    open_at({files[static_cast<std::size_t>(index) + 1].identity, 0});
    return static_cast<bool>(current_log);
}

void seal_source::read(const position& from, std::size_t max_records, std::size_t max_bytes,
                       std::vector<record>& out) {
    out.clear();
    if (!current_log || from != next) {
        open_at(from);
    }
    if (!current_log) {
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
std::optional<std::uint64_t> seal_source::count_from(const position& from,
                                                     const std::stop_token& stop) {
    seal_source walk(log, false, max_piece);
    walk.tell = false;
    walk.open_at(from);
    if (!walk.current_log) {
        return 0;
    }
    std::uint64_t count = walk.pieces.size() - walk.taken;
    while (walk.next_entry() || walk.next_file()) {
        if (stop.stop_requested()) {
            return std::nullopt;
        }
        count += walk.pieces.size() - walk.taken;
    }
    return count;
}

// Through the seal alone, for the log: its records end where the bytes it covers end. An
// archive's go on to its end.
position seal_source::resume_at(const position& from) {
    const auto files = log_files(log);
    const auto index = from.log.empty() ? -1 : index_of(files, from.log);
    if (index < 0) {
        return from;  // read() says what it does with a log it no longer has
    }
    const auto& file = files[static_cast<std::size_t>(index)];
    std::uint64_t end = 0;
    try {
        if (file.archived) {
            end =
                std::filesystem::file_size(file.renaming_to.empty() ? file.path : file.renaming_to);
        } else {
            seal::reader walk(file.seal);
            while (walk.next()) {
            }
            end = walk.log_end();
        }
    } catch (const std::exception&) {
        return from;
    }
    if (from.offset <= end) {
        return from;
    }
    spdlog::warn(
        "Forwarding cursor {}:{} is past the end of the records of its log, resuming "
        "at their end, {}",
        from.log, from.offset, end);
    return {from.log, end};
}

// Whether every record of `archive` comes before `cursor`: true for a file not taken as an
// archive of `log`, which is never forwarded.
bool forwarded_past(const std::filesystem::path& log, const std::filesystem::path& archive,
                    const position& cursor) {
    const auto files = log_files(log);
    const auto at = index_of(files, cursor.log);
    // By name: the consumer names the archive from its folder, the log may be named otherwise.
    const auto found = std::find_if(files.begin(), files.end(), [&](const log_file& file) {
        return file.path.filename() == archive.filename();
    });
    return found == files.end() || (!cursor.log.empty() && found - files.begin() < at);
}

}  // namespace forward
