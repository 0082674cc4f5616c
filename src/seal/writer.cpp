#include "seal/writer.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <numeric>

#include "seal/reader.hpp"
#include "seal/seal_error.hpp"

namespace seal {

namespace {

// The daemon's descriptors are write-only; reading goes through descriptors of its own.
io::unique_fd reopen_for_reading(int fd) {
    io::unique_fd reader(
        ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC));
    if (!reader) {
        throw seal_error("cannot read back descriptor {}: {}", fd, std::strerror(errno));
    }
    return reader;
}

std::uint64_t size_of(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        throw seal_error("cannot stat descriptor {}: {}", fd, std::strerror(errno));
    }
    return static_cast<std::uint64_t>(info.st_size);
}

// Feeds `count` bytes of `written` from `from` on into the MAC.
void feed(entry_mac& into, std::span<const std::string_view> written, std::uint64_t from,
          std::uint64_t count) {
    for (const auto part : written) {
        if (from >= part.size()) {
            from -= part.size();
            continue;
        }
        const auto take = std::min<std::uint64_t>(part.size() - from, count);
        into.update(part.data() + from, static_cast<std::size_t>(take));
        count -= take;
        from = 0;
        if (count == 0) {
            break;
        }
    }
}

}  // namespace

// NOLINTNEXTLINE(readability-function-cognitive-complexity): start-up, one case after another
writer::writer(io::unique_fd seal, int log, options writer_settings)
    : settings(std::move(writer_settings)),
      file(std::move(seal)),
      log_reader(reopen_for_reading(log)) {
    if (!settings.key_file.empty()) {
        key = load_key_file(settings.key_file);
    }
    const std::time_t now = std::time(nullptr);
    const std::uint64_t seal_size = size_of(file.get());
    const std::uint64_t log_size = size_of(log_reader.get());
    if (seal_size == 0) {
        // Nothing tells a log whose seal was removed to hide an edit from a log never sealed.
        // Without a key nothing is vouched for: what the log holds is taken in as found.
        if (key && log_size > 0) {
            refuse_unsealed(log_size);
        }
        link_to_previous();
        start_file();
        if (key) {
            // Continuing an archive's chain, every epoch since the key file's must end with
            // its tick; a new chain just begins now.
            evolve(head.generation == 0 ? std::max(key->epoch, key->epoch_at(now)) : key->epoch);
            append(entry_kind::tick, span_reason::none, 0, {}, nullptr);
            tick_through(key->epoch_at(now));
        }
    } else {
        reader existing(reopen_for_reading(file.get()), "the seal file");
        head = existing.file_header();
        if (head.sealed != key.has_value()) {
            throw seal_error("{}", head.sealed
                                       ? "the seal was made with a key, and no key is set"
                                       : "the seal was made without a key; move the log and its "
                                         "seal aside to start sealing");
        }
        if (key &&
            (head.key != key->id || head.start != key->start || head.interval != key->interval)) {
            throw seal_error("the seal was made with another key");
        }
        last = header_hash(encode_header(head));
        std::uint64_t last_epoch = 0;
        bool any = false;
        while (const auto item = existing.next()) {
            any = true;
            if (!item->mac.empty()) {
                std::copy(item->mac.begin() + iv_size, item->mac.end(), last.begin());
            }
            last_epoch = item->value.epoch;
        }
        // A seal cut back to its header is no more than a missing one: its file's first tick
        // goes out with the header.
        if (key && !any && log_size > 0) {
            refuse_unsealed(log_size);
        }
        sealed_end = existing.log_end();
        if (const std::uint64_t torn = seal_size - existing.seal_end(); torn > 0) {
            check_torn(existing.seal_end(), torn);
        }
        if (key) {
            // A key file older than the seal (restored from a copy) can still go forward.
            evolve(std::max(key->epoch, last_epoch));
        }
        if (const std::uint64_t torn = seal_size - existing.seal_end(); torn > 0) {
            const std::array<std::size_t, 1> skipped{static_cast<std::size_t>(torn)};
            append(entry_kind::resume, span_reason::none, 0, skipped, nullptr);
        }
        if (key) {
            // The key file's epoch and those the daemon was down for are still ours to end.
            tick_through(key->epoch_at(now));
        }
    }
    if (log_size < sealed_end) {
        throw seal_error("the seal covers {} bytes, but the log holds only {}", sealed_end,
                         log_size);
    }
    seal_log_tail(log_size, span_reason::found_at_start);
    flush();
    if (failing) {
        throw seal_error("cannot write the seal file");
    }
    if (key && key_moved) {
        sync_seal();
        store_key_file(settings.key_file, *key, true);
        key_moved = false;
    }
    if (key) {
        timer = std::jthread([this](const std::stop_token& stop) { run_timer(stop); });
    }
}

writer::~writer() {
    timer = {};
    std::lock_guard guard(lock);
    flush();
    try {
        if (key && key_moved) {
            sync_seal();
            store_key_file(settings.key_file, *key, true);
        }
    } catch (const std::exception& error) {
        if (settings.report) {
            settings.report(error.what());
        }
    }
}

identity writer::log_identity() const {
    std::lock_guard guard(lock);
    return head.log;
}

void writer::link_to_previous() {
    if (!settings.previous) {
        return;
    }
    try {
        reader before(std::move(settings.previous), "the previous seal");
        const header& head_before = before.file_header();
        if (head_before.sealed != key.has_value() || (key && head_before.key != key->id)) {
            return;
        }
        tag previous_tag = header_hash(encode_header(head_before));
        while (const auto item = before.next()) {
            if (!item->mac.empty()) {
                std::copy(item->mac.begin() + iv_size, item->mac.end(), previous_tag.begin());
            }
        }
        head.generation = head_before.generation + 1;
        head.previous = key ? previous_tag : tag{};
    } catch (const seal_error& error) {
        if (settings.report) {
            settings.report(fmt::format("the seal begins a new chain: {}", error.what()));
        }
    }
}

void writer::start_file() {
    head.sealed = key.has_value();
    if (RAND_bytes(head.log.data(), static_cast<int>(head.log.size())) != 1) {
        throw seal_error("no random bytes for the log's identity");
    }
    if (key) {
        head.key = key->id;
        head.start = key->start;
        head.interval = key->interval;
    }
    out += encode_header(head);
    last = header_hash(std::string_view(out).substr(out.size() - header_size));
    sealed_end = 0;
}

// Encodes an entry and, in a sealed file, its MAC over the previous tag, the entry and the
// log bytes `feed_log_bytes` gives it.
void writer::append(entry_kind kind, span_reason reason, std::uint64_t bytes,
                    std::span<const std::size_t> values,
                    const std::function<void(entry_mac&)>& feed_log_bytes) {
    const std::size_t begin = out.size();
    try {
        encode_entry(out, kind, reason, key ? key->epoch : 0, bytes, values);
        if (key) {
            // A random field drawn with each key, then a count: never the same IV twice under
            // one key, without a random draw (and its getpid) per entry.
            if (++iv_count == 0) {
                new_iv_field();
            }
            std::array<unsigned char, iv_size> iv{};
            std::memcpy(iv.data(), iv_field.data(), iv_field.size());
            for (std::size_t i = 0; i < 4; ++i) {
                iv[iv_field.size() + i] = static_cast<unsigned char>(iv_count >> (8 * i));
            }
            mac.begin(iv.data());
            mac.update(last.data(), last.size());
            mac.update(out.data() + begin, out.size() - begin);
            if (feed_log_bytes) {
                feed_log_bytes(mac);
            }
            last = mac.finish();
            out.append(std::begin(iv), std::end(iv));
            out.append(last.begin(), last.end());
        }
    } catch (...) {
        out.resize(begin);
        throw;
    }
    sealed_end += bytes;
}

void writer::seal_log_tail(std::uint64_t log_size, span_reason reason) {
    if (log_size <= sealed_end) {
        return;
    }
    const std::uint64_t from = sealed_end;
    append(entry_kind::span, reason, log_size - from, {}, [&](entry_mac& into) {
        std::string chunk(std::size_t{1} << 20, '\0');
        for (std::uint64_t at = from; at < log_size;) {
            const auto want =
                static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), log_size - at));
            const ssize_t got =
                ::pread(log_reader.get(), chunk.data(), want, static_cast<off_t>(at));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                throw seal_error("cannot read the log back to seal it: {}",
                                 got == 0 ? "it is shorter than it was" : std::strerror(errno));
            }
            into.update(chunk.data(), static_cast<std::size_t>(got));
            at += static_cast<std::uint64_t>(got);
        }
    });
}

void writer::seal(std::span<const std::string_view> written, std::span<const std::size_t> lengths,
                  std::uint64_t log_size) {
    std::lock_guard guard(lock);
    try {
        if (key) {
            close_epoch_if_due(std::time(nullptr));
        }
        std::uint64_t total = 0;
        for (const auto part : written) {
            total += part.size();
        }
        std::uint64_t framed = lengths.size();
        for (const std::size_t length : lengths) {
            framed += length;
        }
        if (framed > total) {
            throw seal_error("the group's records hold {} bytes, but {} were written", framed,
                             total);
        }
        if (log_size >= total) {
            seal_log_tail(log_size - total, span_reason::cut_record);
        }
        // Two references, which a std::function holds without an allocation per group.
        if (!lengths.empty()) {
            append(entry_kind::group, span_reason::none, framed, lengths,
                   [&](entry_mac& into) { feed(into, written, 0, framed); });
        }
        if (total > framed) {
            append(entry_kind::span, span_reason::cut_record, total - framed, {},
                   [&](entry_mac& into) { feed(into, written, framed, total - framed); });
        }
        flush();
    } catch (const std::exception& error) {
        if (settings.report) {
            settings.report(fmt::format("could not seal a group: {}", error.what()));
        }
    }
}

void writer::rotate(io::unique_fd seal, int log) {
    std::lock_guard guard(lock);
    try {
        seal_log_tail(size_of(log_reader.get()), span_reason::cut_record);
        flush();
        if (!out.empty()) {
            out.clear();
            throw seal_error("the archive's seal is not complete");
        }
        file = std::move(seal);
        log_reader = reopen_for_reading(log);
        if (size_of(file.get()) != 0) {
            throw seal_error("the new seal file is not empty");
        }
        ++head.generation;
        head.previous = key ? last : tag{};
        start_file();
        if (key) {
            append(entry_kind::tick, span_reason::none, 0, {}, nullptr);
        }
        flush();
    } catch (const std::exception& error) {
        if (settings.report) {
            settings.report(
                fmt::format("could not continue the seal after rotation: {}", error.what()));
        }
    }
}

void writer::close_epoch_if_due(std::time_t now) { tick_through(key->epoch_at(now)); }

// Ends every epoch before `target` with a tick sealed under its own key: whoever takes a later
// key cannot move them, and a seal cut back to an older entry then lacks them.
void writer::tick_through(std::uint64_t target) {
    while (key->epoch < target) {
        append(entry_kind::tick, span_reason::none, 0, {}, nullptr);
        evolve(key->epoch + 1);
    }
}

void writer::refuse_unsealed(std::uint64_t log_size) {
    throw seal_error(
        "the seal is empty or missing, but the log holds {} bytes; move the log (and its seal) "
        "aside as an archive to start a new seal",
        log_size);
}

void writer::check_torn(std::uint64_t from, std::uint64_t size) {
    const io::unique_fd bytes_of(reopen_for_reading(file.get()));
    std::string torn(static_cast<std::size_t>(std::min<std::uint64_t>(size, max_entry_size + 1)),
                     '\0');
    const ssize_t got = ::pread(bytes_of.get(), torn.data(), torn.size(), static_cast<off_t>(from));
    if (got != std::ssize(torn) || size > max_entry_size || !torn_entry(torn, head.sealed)) {
        throw seal_error(
            "seal bytes {} to {} are not an entry cut short by a crash: the seal was changed; "
            "move the log and its seal aside as an archive to start a new seal",
            from, from + size);
    }
}

// The ticks a key file's epoch claims must be on disk before the key file moves past them.
void writer::sync_seal() {
    if (::fdatasync(file.get()) != 0) {
        throw seal_error("cannot sync the seal: {}", std::strerror(errno));
    }
}

void writer::evolve(std::uint64_t target) {
    key_moved = key_moved || target > key->epoch;
    key->advance(target);
    mac.set_key(entry_key(key->state));
    new_iv_field();
}

void writer::new_iv_field() {
    if (RAND_bytes(iv_field.data(), static_cast<int>(iv_field.size())) != 1) {
        throw seal_error("no random bytes for the IVs");
    }
    iv_count = 0;
}

void writer::flush() {
    while (!out.empty()) {
        const ssize_t done = ::write(file.get(), out.data(), out.size());
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            if (!failing && settings.report) {
                settings.report(fmt::format("could not write the seal: {}",
                                            done == 0 ? "no progress" : std::strerror(errno)));
            }
            failing = true;
            return;
        }
        out.erase(0, static_cast<std::size_t>(done));
    }
    failing = false;
    if (settings.sync && ::fdatasync(file.get()) != 0 && settings.report) {
        settings.report(fmt::format("could not sync the seal: {}", std::strerror(errno)));
    }
}

void writer::run_timer(const std::stop_token& stop) {
    std::unique_lock guard(lock);
    while (!stop.stop_requested()) {
        const auto now = std::chrono::system_clock::now();
        const auto boundary = std::chrono::system_clock::time_point(
            std::chrono::seconds(key->start + (key->epoch + 1) * key->interval));
        // Woken at least every 10 s, so that a clock set forward is noticed soon.
        const auto wait = std::clamp<std::chrono::system_clock::duration>(
            boundary - now, std::chrono::milliseconds(5), std::chrono::seconds(10));
        wake.wait_for(guard, stop, wait, [] { return false; });
        if (stop.stop_requested()) {
            break;
        }
        try {
            close_epoch_if_due(std::time(nullptr));
            flush();
            if (key_moved && !failing) {
                sync_seal();
                // Written without the lock: the disk's syncs must not hold up the records.
                const sealing_key current = *key;
                key_moved = false;
                guard.unlock();
                store_key_file(settings.key_file, current, true);
                guard.lock();
            }
        } catch (const std::exception& error) {
            if (!guard.owns_lock()) {
                guard.lock();
                key_moved = true;  // the key file still holds an older epoch
            }
            if (settings.report) {
                settings.report(fmt::format("could not end the seal's epoch: {}", error.what()));
            }
        }
    }
}

}  // namespace seal
