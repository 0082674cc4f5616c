#include "seal/verifier.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "io/unique_fd.hpp"
#include "seal/reader.hpp"
#include "seal/seal_error.hpp"

namespace seal {

namespace {

// A log mapped read-only for the time of its check.
class mapped_file {
public:
    explicit mapped_file(const std::filesystem::path& file) {
        const io::unique_fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat info {};
        if (!fd || ::fstat(fd.get(), &info) != 0) {
            throw seal_error("cannot read {}: {}", file.string(), std::strerror(errno));
        }
        size = static_cast<std::size_t>(info.st_size);
        if (size > 0) {
            void* at = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
            if (at == MAP_FAILED) {
                throw seal_error("cannot map {}: {}", file.string(), std::strerror(errno));
            }
            ::madvise(at, size, MADV_SEQUENTIAL);
            data = static_cast<const char*>(at);
        }
    }
    ~mapped_file() {
        if (data != nullptr) {
            ::munmap(const_cast<char*>(data), size);
        }
    }
    mapped_file(const mapped_file&) = delete;
    mapped_file& operator=(const mapped_file&) = delete;

    const char* data = nullptr;
    std::size_t size = 0;
};

const char* span_warning(span_reason reason) {
    return reason == span_reason::found_at_start
               ? "were in the log but not sealed when the daemon started (a crash), and were "
                 "sealed then; their record boundaries are the newlines"
               : "hold a record cut short by a failed write, sealed as it was written";
}

}  // namespace

verifier::verifier(verification_key verification)
    : key(std::move(verification)), id(key_id(key.seed)), state(initial_state(key.seed)) {
    mac.set_key(entry_key(state));
}

void verifier::key_for(std::uint64_t target) {
    if (target < epoch) {
        epoch = 0;
        state = initial_state(key.seed);
    }
    const bool moved = target != epoch;
    for (; epoch < target; ++epoch) {
        state = next_state(state);
    }
    if (moved) {
        mac.set_key(entry_key(state));
    }
}

std::vector<verifier::result> verifier::verify(const std::vector<std::filesystem::path>& logs) {
    std::vector<result> results;
    std::optional<link> before;
    for (const auto& log : logs) {
        std::optional<link> after;
        results.push_back(verify_one(log, before, after));
        before = after;
    }
    return results;
}

// NOLINTNEXTLINE(readability-function-cognitive-complexity): one pass, in the file's order
verifier::result verifier::verify_one(const std::filesystem::path& log,
                                      const std::optional<link>& before,
                                      std::optional<link>& after) {
    result out;
    out.log = log;
    const auto fail = [&](std::string problem, std::optional<std::uint64_t> offset) {
        out.problem = std::move(problem);
        out.offset = offset;
        return out;
    };
    const std::filesystem::path seal_file = log.string() + ".seal";
    std::error_code error;
    if (!std::filesystem::exists(seal_file, error)) {
        return fail(fmt::format("no seal ({} is missing)", seal_file.string()), std::nullopt);
    }
    try {
        const mapped_file bytes(log);
        reader seal(seal_file);
        const header& head = seal.file_header();
        if (!head.sealed) {
            return fail("not sealed: the seal holds record lengths only, no MACs", std::nullopt);
        }
        if (head.key != id || head.start != key.start || head.interval != key.interval) {
            return fail("the seal was made with another key", std::nullopt);
        }
        if (before && (head.generation != before->generation + 1 ||
                       CRYPTO_memcmp(head.previous.data(), before->last.data(), tag_size) != 0)) {
            return fail(
                fmt::format("the seal does not continue the seal of {}", before->log.string()), 0);
        }
        tag chain = header_hash(encode_header(head));
        const auto now = static_cast<std::uint64_t>(std::max<std::time_t>(std::time(nullptr), 0));
        const std::uint64_t latest = now <= key.start ? 1 : (now - key.start) / key.interval + 1;
        const mapped_file seal_bytes(seal_file);
        const auto torn = [&](std::uint64_t from, std::uint64_t size) {
            return torn_entry(std::string_view(seal_bytes.data, seal_bytes.size).substr(from, size),
                              true);
        };
        // Across files too: the archive's last epoch and whether its tick was seen.
        std::uint64_t last_epoch = before ? before->epoch : 0;
        bool ticked = before && before->ticked;
        bool any = false;
        while (const auto item = seal.next()) {
            const entry& value = item->value;
            const std::uint64_t at = item->log_offset;
            if (item->skipped > 0) {
                if (!torn(item->seal_offset - item->skipped, item->skipped)) {
                    return fail(fmt::format("seal bytes {} to {} were changed: they are not an "
                                            "entry cut short by a crash",
                                            item->seal_offset - item->skipped, item->seal_offset),
                                at);
                }
                out.warnings.push_back(
                    fmt::format("seal bytes {} to {} were cut short by a crash and are skipped",
                                item->seal_offset - item->skipped, item->seal_offset));
            } else if (value.kind == entry_kind::resume) {
                return fail("a resume entry follows no cut bytes", at);
            }
            if (value.epoch < last_epoch) {
                return fail(fmt::format("epoch {} follows epoch {}", value.epoch, last_epoch), at);
            }
            // The writer ends every epoch with a tick under that epoch's key: a seal cut back to
            // an older entry and sealed on under a later key lacks them.
            if ((any || before) && value.epoch > last_epoch &&
                (value.epoch != last_epoch + 1 || !ticked)) {
                return fail(
                    fmt::format("no tick ends epoch {}: entries of epochs {} to {} are "
                                "missing",
                                ticked ? last_epoch + 1 : last_epoch, last_epoch, value.epoch - 1),
                    at);
            }
            if (value.epoch > latest) {
                return fail(fmt::format("epoch {} has not begun yet", value.epoch), at);
            }
            if (value.bytes > bytes.size - std::min<std::uint64_t>(at, bytes.size)) {
                return fail("the log ends before what its seal covers", at);
            }
            key_for(value.epoch);
            mac.begin(reinterpret_cast<const unsigned char*>(item->mac.data()));
            mac.update(chain.data(), chain.size());
            mac.update(item->signed_bytes.data(), item->signed_bytes.size());
            mac.update(bytes.data + at, static_cast<std::size_t>(value.bytes));
            chain = mac.finish();
            if (CRYPTO_memcmp(chain.data(), item->mac.data() + iv_size, tag_size) != 0) {
                return fail("the seal does not hold", at);
            }
            if (value.kind == entry_kind::group) {
                std::uint64_t offset = at;
                for (const std::uint64_t record_length : value.values) {
                    if (bytes.data[offset + record_length] != '\n') {
                        return fail("a sealed record is not followed by its newline", offset);
                    }
                    offset += record_length + 1;
                }
                out.records += value.values.size();
            } else if (value.kind == entry_kind::span) {
                const std::string_view span(bytes.data + at, value.bytes);
                out.records +=
                    static_cast<std::uint64_t>(std::count(span.begin(), span.end(), '\n'));
                out.warnings.push_back(fmt::format("bytes {} to {} {}", at, at + value.bytes,
                                                   span_warning(value.reason)));
            }
            // A file's first tick marks where it begins, not where an epoch ends.
            ticked =
                (ticked && value.epoch == last_epoch) || (value.kind == entry_kind::tick && any);
            last_epoch = value.epoch;
            any = true;
        }
        if (!any) {
            return fail("the seal has no entries", std::nullopt);
        }
        if (seal.log_end() < bytes.size) {
            return fail("not sealed: records after the seal's last entry", seal.log_end());
        }
        if (seal_bytes.size > seal.seal_end() &&
            !torn(seal.seal_end(), seal_bytes.size - seal.seal_end())) {
            return fail(fmt::format("the seal's bytes from {} on were added or changed: they are "
                                    "not an entry cut short by a crash",
                                    seal.seal_end()),
                        seal.log_end());
        }
        if (seal_bytes.size > seal.seal_end()) {
            out.warnings.push_back(
                fmt::format("the seal's last {} bytes were cut short by a crash",
                            std::filesystem::file_size(seal_file) - seal.seal_end()));
        }
        out.intact = true;
        out.sealed_until = static_cast<std::time_t>(key.start + (last_epoch + 1) * key.interval);
        after = link{log, head.generation, chain, last_epoch, ticked};
    } catch (const std::exception& failure) {
        return fail(failure.what(), std::nullopt);
    }
    return out;
}

}  // namespace seal
