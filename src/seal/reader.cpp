#include "seal/reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "seal/seal_error.hpp"

namespace seal {

namespace {

constexpr std::size_t chunk = std::size_t{1} << 20;

}  // namespace

reader::reader(const std::filesystem::path& file)
    : reader(io::unique_fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)), file.string()) {}

reader::reader(io::unique_fd file, std::string file_name)
    : fd(std::move(file)), name(std::move(file_name)), position(0) {
    if (!fd) {
        throw seal_error("cannot open {}: {}", name, std::strerror(errno));
    }
    const std::string_view start = available(header_size);
    if (start.size() < header_size) {
        throw seal_error("{} is too short for a seal header", name);
    }
    try {
        head = decode_header(start);
    } catch (const seal_error& error) {
        throw seal_error("{}: {}", name, error.what());
    }
    position = header_size;
}

std::string_view reader::available(std::size_t size) {
    if (position >= buffer_start + filled) {
        filled = 0;
        buffer_start = position;
    } else if (position - buffer_start >= chunk) {
        const auto consumed = static_cast<std::size_t>(position - buffer_start);
        std::memmove(buffer.data(), buffer.data() + consumed, filled - consumed);
        filled -= consumed;
        buffer_start = position;
    }
    const auto offset = static_cast<std::size_t>(position - buffer_start);
    while (filled - offset < size) {
        if (buffer.size() < filled + chunk) {
            buffer.resize(filled + chunk);
        }
        const ssize_t got = ::pread(fd.get(), buffer.data() + filled, buffer.size() - filled,
                                    static_cast<off_t>(buffer_start + filled));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw seal_error("cannot read {}: {}", name, std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    return {buffer.data() + offset, std::min(size, filled - offset)};
}

// Bytes that are no entry can only be an entry cut short by a crash; the writer's next start
// follows them with a resume entry that says how many there are.
std::optional<std::uint64_t> reader::find_resume(std::uint64_t from) {
    const std::uint64_t start = position;
    const std::string_view rest = available(max_entry_size);
    entry value;
    std::size_t size = 0;
    for (auto at = rest.find(entry_magic, static_cast<std::size_t>(from - start));
         at != std::string_view::npos; at = rest.find(entry_magic, at + 1)) {
        if (decode_entry(rest.substr(at), head.sealed, value, size) == decoded::entry &&
            value.kind == entry_kind::resume && value.values[0] == at) {
            return start + at;
        }
    }
    return std::nullopt;
}

std::optional<reader::item> reader::next() {
    item out;
    for (;;) {
        out.seal_offset = position;
        std::size_t size = 0;
        std::string_view bytes = available(entry_head_size);
        decoded result = decode_entry(bytes, head.sealed, out.value, size);
        if (result == decoded::incomplete && bytes.size() >= 16) {
            bytes = available(size);
            result = decode_entry(bytes, head.sealed, out.value, size);
        }
        if (result == decoded::entry) {
            const std::size_t signed_size = size - (head.sealed ? mac_size : 0);
            out.signed_bytes = bytes.substr(0, signed_size);
            out.mac = bytes.substr(signed_size, size - signed_size);
            out.log_offset = covered;
            position += size;
            covered += out.value.bytes;
            return out;
        }
        if (bytes.empty()) {
            return std::nullopt;
        }
        const auto resume = find_resume(position + 1);
        if (!resume) {
            // Still being written, or cut short with no start after it yet.
            return std::nullopt;
        }
        out.skipped = *resume - position;
        position = *resume;
    }
}

std::vector<record> reader::records(const item& entry) {
    std::vector<record> out;
    std::uint64_t offset = entry.log_offset;
    if (entry.value.kind == entry_kind::group) {
        out.reserve(entry.value.values.size());
        for (const std::uint64_t length : entry.value.values) {
            out.push_back({offset, length, true});
            offset += length + 1;
        }
    } else if (entry.value.kind == entry_kind::span) {
        out.push_back({offset, entry.value.bytes, false});
    }
    return out;
}

}  // namespace seal
