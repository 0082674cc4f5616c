#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "permissions/protected_file.hpp"

// Appends each record, byte for byte plus one newline, to the protected event log that it
// prepares at construction. Records that come in a run are gathered and written as one group,
// with one system call (and, when asked, one fdatasync). Called from one thread only; the
// totals may be read from any.
class file_message_consumer {
public:
    static constexpr std::size_t max_group_records = 1024;
    static constexpr std::size_t max_group_bytes = std::size_t{1} << 20;

    explicit file_message_consumer(const std::filesystem::path& path, bool sync = false);
    // Writes out what is still gathered.
    ~file_message_consumer();
    file_message_consumer(const file_message_consumer&) = delete;
    file_message_consumer& operator=(const file_message_consumer&) = delete;

    // Never throws for a write problem: each record not written is logged. With `last` false
    // the record may wait for the next ones, until a record comes with `last` true or the
    // group is full.
    void consume(std::string_view record, bool last = true);

    std::uint64_t records_written() const { return written.load(std::memory_order_relaxed); }
    std::uint64_t records_failed() const { return failed.load(std::memory_order_relaxed); }

private:
    void write_group(const std::string_view* large);
    void report_lost(std::size_t count, const char* reason);

    permissions::protected_file file;
    const bool sync;
    // Gathered records, each with its newline; `ends` holds where each one ends.
    std::string group;
    std::vector<std::size_t> ends;
    // The file ends inside a record (cut short by a full disk, or by a kill of an earlier
    // run): the next record must first end it, so that none is ever glued to a broken one.
    bool record_open = false;
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> failed{0};
};
