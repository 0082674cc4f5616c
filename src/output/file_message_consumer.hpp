#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/unique_fd.hpp"
#include "output/log_archives.hpp"
#include "permissions/protected_file.hpp"
#include "permissions/safe_folder.hpp"
#include "seal/writer.hpp"

// The system calls through which records reach the log, the real ones unless a test puts in
// faults: a full disk, an interrupted or short write, a disk that comes back.
struct log_calls {
    ssize_t (*writev)(int, const iovec*, int);
    int (*fallocate)(int, int, off_t, off_t);
    int (*fdatasync)(int);
    int (*fstat)(int, struct stat*);
};

struct log_options {
    // fdatasync after each group, before the next.
    bool sync = false;
    // A log that a group would take past this size is archived first; 0: never.
    std::uint64_t max_file_size = 0;
    // The oldest archives beyond this count are removed at each rotation; 0: keep all.
    std::uint64_t max_archives = 0;
    const log_calls* calls = nullptr;  // null: the real ones
    // The sealing key: the log gets a seal, `<log>.seal`, with a MAC per group. Empty: none,
    // unless `record_lengths` asks for a seal that holds the record lengths only.
    std::filesystem::path seal_key_file = {};
    bool record_lengths = false;
    // Told how many records each write put in the log, once they are there.
    std::function<void(std::uint64_t records)> on_written = {};
    // Asked before an archive beyond max_archives is removed: false keeps it (and those after
    // it) for now, and it is asked again with later writes.
    std::function<bool(const std::filesystem::path& archive)> may_remove = {};
};

// Appends each record, byte for byte plus one newline, to the protected event log that it
// prepares at construction, and archives the log (log_archives) when it reaches its size.
// Records of a batch, and of the batches that wait behind it, are gathered and written as one
// group, with one system call. A group that cannot be written is held and retried, which blocks
// the calling thread: the records behind it wait upstream. When asked, it seals each group in
// `<log>.seal`, protected like the log, and archives and removes the seal with the log. Owns
// the log's descriptor and its folder's, walked once at start-up, and the seal's writer.
// Called from one thread only; the totals, the hold and `request_stop` may be used from any.
class file_message_consumer {
public:
    static constexpr std::size_t max_group_records = 1024;
    static constexpr std::size_t max_group_bytes = std::size_t{1} << 20;

    explicit file_message_consumer(std::filesystem::path log_path, const log_options& chosen = {});
    // Writes out what is still gathered, trying once more if no stop was requested.
    ~file_message_consumer();
    file_message_consumer(const file_message_consumer&) = delete;
    file_message_consumer& operator=(const file_message_consumer&) = delete;

    // Takes a batch of records, in arrival order. Never throws for a write problem. The one
    // place that decides when a group goes out: once full, at a large record, and at the end of
    // a batch unless `more_waiting` says records wait behind it, which keep the group open.
    void consume(std::span<const std::string_view> records, bool more_waiting = false);
    // A held group is retried until `stop_at` and then given up; wakes a retry that waits.
    void request_stop(std::chrono::steady_clock::time_point stop_at);
    // Writes out what is gathered (holding it until the stop deadline at most) and reports the
    // records given up. Returns how many were.
    std::uint64_t finish();

    std::uint64_t records_written() const { return written.load(std::memory_order_relaxed); }
    std::uint64_t records_failed() const { return failed.load(std::memory_order_relaxed); }
    // The records of the group held for a log that cannot be written (0 when none), and why;
    // the records behind it wait upstream and are not counted.
    std::uint64_t records_held() const { return held.load(std::memory_order_relaxed); }
    std::string hold_reason() const;

private:
    void write_group();
    void write_records();
    void write_run(std::size_t end);
    void reserve_room(int fd, std::size_t bytes);
    void committed(std::size_t end);
    void open_log();
    void open_seal();
    void seal_run(const iovec* parts, int count, std::size_t bytes, std::size_t end);
    void rotate();
    bool wait_to_retry(std::chrono::milliseconds delay);

    const std::filesystem::path path;
    const log_options options;
    const log_calls& calls;
    std::optional<permissions::safe_folder> folder;
    std::optional<log_archives> archives;
    std::optional<permissions::protected_file> file;
    std::optional<seal::writer> sealer;
    std::vector<std::size_t> lengths;  // of the records of the run being sealed
    std::uint64_t size = 0;            // of the log, as this writer made it
    std::uint64_t reserved = 0;        // its blocks are allocated up to here
    bool reserve = true;               // false once the file system has no fallocate
    bool sync_failing = false;         // the last fdatasync failed, and said so
    // The file ends inside a record (cut short by a kill of an earlier run): the next record
    // must first end it, so that none is ever glued to a broken one.
    bool record_open = false;
    // Gathered records, each with its newline, and a large record written from where it is
    // (it ends the group); `ends` holds where each record ends, `done` how many went out.
    std::string group;
    std::string_view large;
    std::vector<std::size_t> ends;
    std::size_t done = 0;
    std::optional<std::chrono::steady_clock::time_point> holding_since;
    std::uint64_t lost = 0;

    mutable std::mutex mutex;  // guards `deadline` and `reason`
    std::condition_variable stop_requested;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    std::string reason;
    std::atomic<std::uint64_t> held{0};
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> failed{0};
};
