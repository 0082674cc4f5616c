#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The seal file beside a log, `<log>.seal`: one header, then one entry per group of records.
// All integers are little-endian. The writer and every reader share this one encoder/decoder;
// velmoevents-seal(1) documents the layout byte for byte.
namespace seal {

inline constexpr std::uint32_t format_version = 1;
// An entry's MAC: a fresh random IV, then the GMAC tag (AES-256-GCM with no plaintext).
inline constexpr std::size_t iv_size = 12;
inline constexpr std::size_t tag_size = 16;
inline constexpr std::size_t mac_size = iv_size + tag_size;
inline constexpr std::size_t check_size = 8;
inline constexpr std::size_t header_size = 88;
inline constexpr std::size_t entry_head_size = 36;
// No entry the writer makes comes near this; past it the bytes are not an entry.
inline constexpr std::uint32_t max_entry_size = 64U << 20;
inline constexpr std::string_view header_magic{"VELMOSL\n", 8};
inline constexpr std::string_view entry_magic{"\x8fVSEAL\r\n", 8};

using tag = std::array<unsigned char, tag_size>;
using identity = std::array<unsigned char, 16>;

struct header {
    bool sealed = false;  // entries carry a MAC
    identity log{};       // random, one per log file
    identity key{};       // the sealing key's id; zero when not sealed
    std::uint64_t start = 0;
    std::uint64_t interval = 0;
    std::uint64_t generation = 0;  // 0 for the first file, one more per rotation
    tag previous{};                // the last tag of the previous file's seal
};

enum class entry_kind : std::uint8_t {
    group = 1,   // whole records, each followed by its newline
    span = 2,    // log bytes whose record boundaries are not known
    tick = 3,    // no bytes: the epoch ends (or the file begins) here
    resume = 4,  // no bytes: follows seal bytes cut short by a crash, skipped
};

enum class span_reason : std::uint8_t {
    none = 0,
    found_at_start = 1,  // in the log but not sealed when the writer started
    cut_record = 2,      // around a write that failed part way
};

struct entry {
    entry_kind kind = entry_kind::tick;
    span_reason reason = span_reason::none;
    std::uint64_t epoch = 0;
    std::uint64_t bytes = 0;  // log bytes covered
    // A group's record lengths (newlines not counted); a resume's one value: the bytes skipped.
    std::vector<std::uint64_t> values;
};

std::string encode_header(const header& value);
// Where a file's chain of tags starts: the first tag_size bytes of SHA-256 of its header.
tag header_hash(std::string_view header_bytes);
// Throws seal_error naming what is wrong; `bytes` holds at least header_size bytes.
header decode_header(std::string_view bytes);

// Appends an entry up to its MAC: the head, the values, the check. `lengths` are for a group;
// a resume passes its skipped count as the one value.
void encode_entry(std::string& out, entry_kind kind, span_reason reason, std::uint64_t epoch,
                  std::uint64_t bytes, std::span<const std::size_t> values);

enum class decoded { entry, incomplete, invalid };
// Decodes the entry at the start of `bytes`; `size` receives its size, MAC included. Invalid
// means these bytes are no entry (bad magic, size, values or check).
decoded decode_entry(std::string_view bytes, bool sealed, entry& out, std::size_t& size);

// Whether seal bytes that are no entry can be what a crash leaves: the start of one entry cut
// short, holding no whole entry. Anything else was changed after it was written.
bool torn_entry(std::string_view bytes, bool sealed);

}  // namespace seal
