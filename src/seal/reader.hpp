#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/unique_fd.hpp"
#include "seal/format.hpp"

namespace seal {

// One record of a log as its seal frames it. `framed` is false for the bytes of a span,
// whose record boundaries are not known (the log's newlines are the best guess there).
struct record {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;  // without the newline that follows it
    bool framed = true;
};

// Reads a seal file entry by entry, also while its writer appends to it: an entry not yet
// whole is left for a later call. Owns its descriptor. Gives each entry's place in the log.
class reader {
public:
    struct item {
        entry value;
        std::uint64_t log_offset = 0;   // where the bytes it covers begin in the log
        std::uint64_t seal_offset = 0;  // where it begins in the seal
        std::uint64_t skipped = 0;      // seal bytes before it left by a crash
        std::string_view signed_bytes;  // the entry up to its MAC; valid until the next call
        std::string_view mac;           // IV and tag; empty in a seal without MACs
    };

    // Both throw seal_error when the file cannot be read or does not start with a seal header.
    explicit reader(const std::filesystem::path& file);
    explicit reader(io::unique_fd file, std::string file_name);

    const header& file_header() const { return head; }
    // The next whole entry, or none at the end of what the file holds now.
    std::optional<item> next();
    // The log offset just after the last entry given.
    std::uint64_t log_end() const { return covered; }
    // The seal offset just after the last entry given.
    std::uint64_t seal_end() const { return position; }
    // The records an entry frames: a group's, or a span as one unframed piece.
    static std::vector<record> records(const item& entry);

private:
    // Makes the buffer hold the file's bytes from `position` on, `size` of them if there are.
    std::string_view available(std::size_t size);
    std::optional<std::uint64_t> find_resume(std::uint64_t from);

    io::unique_fd fd;
    std::string name;
    header head;
    std::string buffer;
    std::size_t filled = 0;  // bytes of `buffer` read from the file
    std::uint64_t buffer_start = 0;
    std::uint64_t position = header_size;
    std::uint64_t covered = 0;
};

}  // namespace seal
