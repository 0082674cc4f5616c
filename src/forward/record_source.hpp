#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace forward {

// Where a record starts: the identity of the log file that holds it and its byte offset there.
// A default position stands before the oldest record a source can read.
struct position {
    std::string log;
    std::uint64_t offset = 0;
    friend bool operator==(const position&, const position&) = default;
};

struct record {
    position at;
    // Where the record after it starts: a cursor past this record.
    position next;
    std::string_view bytes;
};

// Reads records back from where the writer put them, in the order written, across files.
// Used from one thread at a time.
class record_source {
public:
    virtual ~record_source() = default;
    // Replaces `out` with the complete records from `from` on, at most `max_records` and, the
    // first one aside, at most `max_bytes` of them. Their bytes stay valid until the next call.
    // Empty: nothing more has been written yet. A position the source no longer knows yields
    // the oldest record it has, with a warning.
    virtual void read(const position& from, std::size_t max_records, std::size_t max_bytes,
                      std::vector<record>& out) = 0;
    // How many complete records follow `from` now; none once `stop` is requested.
    virtual std::optional<std::uint64_t> count_from(const position& from,
                                                    const std::stop_token& stop) = 0;
    // Where to go on from a saved `from`: a cursor a crash left past the records written is
    // brought back to their end, so that new records are not taken for ones already sent.
    virtual position resume_at(const position& from) { return from; }
};

}  // namespace forward
