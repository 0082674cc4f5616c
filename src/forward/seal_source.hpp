#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "forward/record_source.hpp"
#include "io/unique_fd.hpp"
#include "seal/reader.hpp"

namespace forward {

// The records of a log and of its archives, read back through their seals: a seal's record
// lengths give each record's bounds, also for records that hold newlines. The archives (the
// log's name plus a suffix that sorts by age) come first, oldest first, then the log. A file
// is named by the identity in its seal's header, an archive without a readable seal by its
// name. Bytes a seal covers only as a span (written before the seal, or left unsealed by a
// crash), an archive's bytes past its seal's end and those of an archive without one are taken
// line by line, as records were written each with a newline; a line longer than `longest` is
// taken in pieces of that size, so that memory stays bounded however large the span.
class seal_source final : public record_source {
public:
    // `sync`: each batch read is flushed to disk before it is handed on, for a log not
    // synced as it is written.
    explicit seal_source(std::filesystem::path log_path, bool sync = false,
                         std::size_t longest = std::size_t{1} << 20);
    ~seal_source() override;
    seal_source(const seal_source&) = delete;
    seal_source& operator=(const seal_source&) = delete;

    void read(const position& from, std::size_t max_records, std::size_t max_bytes,
              std::vector<record>& out) override;
    std::optional<std::uint64_t> count_from(const position& from,
                                            const std::stop_token& stop) override;
    position resume_at(const position& from) override;

private:
    struct piece {
        std::uint64_t offset;
        std::uint64_t length;
        std::uint64_t end;  // where the next record starts
    };
    // Makes `current` read the file that holds `from`, its entries before it skipped.
    void open_at(const position& from);
    // Opens the file that holds `from`, or the oldest if none does; the offset to go on from.
    std::optional<std::uint64_t> open_file(const position& from);
    // Takes the records of the current file's next entry into `pieces`; false at its end.
    bool next_entry();
    // Takes the records of `item` that start at `from` or later into `pieces`.
    bool take(const seal::reader::item& item, std::uint64_t from);
    // Takes the next lines of the span being read into `pieces`, a bounded number of them.
    void scan_span();
    // Moves on to the next file once the current one is an archive; false if it is the log.
    bool next_file();
    // Takes the lines of an archive past what its seal covers, from `from` on, once.
    bool take_tail(std::uint64_t from);

    const std::filesystem::path log;
    const bool sync_reads;
    const std::size_t max_piece;
    std::unique_ptr<seal::reader> current;
    io::unique_fd current_log;
    std::string current_identity;
    ino_t current_seal = 0;  // 0: an archive without a seal
    bool archived = false;   // the current file's bytes are all there
    bool tail_taken = false;
    bool tell = true;           // warnings are for the reader, not for a count
    std::string told;           // the last one, not repeated
    position next;              // where the current reader stands
    std::vector<piece> pieces;  // of the entry being taken
    std::size_t taken = 0;
    std::uint64_t span_at = 0;  // where the span being read goes on
    std::uint64_t span_end = 0;
    std::string buffer;
    std::string scanned;  // bytes of the current log from `scanned_from` on
    std::uint64_t scanned_from = 0;
};

// Whether every record of `archive`, an archive of `log`, comes before `cursor`; false for a
// cursor in a log no longer there, as forwarding then goes on from the oldest archive.
bool forwarded_past(const std::filesystem::path& log, const std::filesystem::path& archive,
                    const position& cursor);

}  // namespace forward
