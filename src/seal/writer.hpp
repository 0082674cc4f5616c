#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "io/unique_fd.hpp"
#include "seal/format.hpp"
#include "seal/key.hpp"

namespace seal {

// Keeps the seal of one log: one entry per group of records its consumer writes, chained to
// the one before, each under the current epoch's key. A timer thread of its own ends each epoch
// on time, idle or not: it seals the epoch's end with the epoch's key, moves the key one way,
// wipes the old one and replaces the key file. Owns the seal's descriptor and a read-only
// descriptor of the log. `seal` and `rotate` are called from one thread; what fails while the
// consumer is not calling is told to `report`, from the timer thread.
class writer {
public:
    struct options {
        // Empty: entries hold the record lengths only, without MACs.
        std::filesystem::path key_file;
        // Each entry is synced (fdatasync) once written.
        bool sync = false;
        // Told of every failure that does not stop the writer; may be called from any thread.
        std::function<void(const std::string&)> report;
        // The seal of the newest archive, readable: a seal begun empty (the log new after a
        // rotation that a crash cut short, or after a log was moved aside) continues its chain.
        io::unique_fd previous;
    };

    // `seal` is the seal file, protected like the log and opened for appending; `log` is the
    // log's descriptor, only borrowed. An empty seal beside an empty log gets a header; one
    // with entries is continued, with a resume entry after bytes a crash cut short, ticks for
    // the epochs since the key file's, and the log's bytes past what it covers sealed as a
    // span. Throws seal_error when the key or the seal cannot be used: a seal made with another
    // key or without one, one that covers more than the log, an empty seal beside a log that
    // holds records, or seal bytes that are no entry and not one entry cut short.
    writer(io::unique_fd seal, int log, options settings);
    // Writes out what is still waiting.
    ~writer();
    writer(const writer&) = delete;
    writer& operator=(const writer&) = delete;

    // After each write to the log (and, in sync mode, after its fdatasync): `written` are the
    // bytes that write put in the log, in order; `lengths` the lengths of the whole records
    // they begin with, each followed by its newline in `written`; `log_size` the log's size
    // after it, as its writer counts it. Bytes after those records (a record cut short by a
    // failed write) are sealed as a span, and so are log bytes written since the last call that
    // no call told of (the newline that ends such a record). Never throws: a failure goes to
    // `report`, and what was not written goes out with the next entry.
    void seal(std::span<const std::string_view> written, std::span<const std::size_t> lengths,
              std::uint64_t log_size);

    // After the log and its seal were renamed to an archive and its seal: from now on the
    // entries go to `seal`, a new empty seal file protected like the new log `log`. Its header
    // links to the archive's last tag. Never throws; a failure goes to `report`.
    void rotate(io::unique_fd seal, int log);

    // The identity in the current seal's header, for whoever names records by their place.
    identity log_identity() const;

private:
    void append(entry_kind kind, span_reason reason, std::uint64_t bytes,
                std::span<const std::size_t> values,
                const std::function<void(entry_mac&)>& feed_log_bytes);
    void seal_log_tail(std::uint64_t log_size, span_reason reason);
    void link_to_previous();
    void start_file();
    void close_epoch_if_due(std::time_t now);
    void tick_through(std::uint64_t target);
    [[noreturn]] static void refuse_unsealed(std::uint64_t log_size);
    void check_torn(std::uint64_t from, std::uint64_t size);
    void sync_seal();
    void evolve(std::uint64_t target);
    void new_iv_field();
    void flush();
    void run_timer(const std::stop_token& stop);

    options settings;
    mutable std::mutex lock;
    io::unique_fd file;
    io::unique_fd log_reader;
    header head;
    tag last{};
    std::uint64_t sealed_end = 0;
    std::optional<sealing_key> key;
    // The key moved on since the key file was last written.
    bool key_moved = false;
    entry_mac mac;
    std::array<unsigned char, iv_size - 4> iv_field{};
    std::uint32_t iv_count = 0;
    // Entries not yet written to the seal file: normally only the one being added.
    std::string out;
    bool failing = false;
    std::condition_variable_any wake;
    std::jthread timer;  // last: stopped and joined before anything it uses goes
};

}  // namespace seal
