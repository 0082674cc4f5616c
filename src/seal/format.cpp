#include "seal/format.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "seal/seal_error.hpp"

namespace seal {

namespace {

template <typename T>
void put(std::string& out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    }
}

template <typename T>
T get(std::string_view bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value |= std::uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
    }
    return static_cast<T>(value);
}

void put_varint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7f) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

bool get_varint(std::string_view bytes, std::size_t& at, std::uint64_t& value) {
    value = 0;
    for (unsigned shift = 0; at < bytes.size() && shift < 64; shift += 7) {
        const auto byte = static_cast<unsigned char>(bytes[at++]);
        value |= std::uint64_t{byte & 0x7fU} << shift;
        if ((byte & 0x80) == 0) {
            return true;
        }
    }
    return false;
}

std::array<unsigned char, check_size> check_of(std::string_view bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
        1) {
        throw seal_error("SHA-256 failed");
    }
    std::array<unsigned char, check_size> check{};
    std::memcpy(check.data(), digest.data(), check.size());
    return check;
}

}  // namespace

std::string encode_header(const header& value) {
    std::string out(header_magic);
    put<std::uint32_t>(out, format_version);
    put<std::uint32_t>(out, value.sealed ? 1 : 0);
    out.append(value.log.begin(), value.log.end());
    out.append(value.key.begin(), value.key.end());
    put(out, value.start);
    put(out, value.interval);
    put(out, value.generation);
    out.append(value.previous.begin(), value.previous.end());
    return out;
}

tag header_hash(std::string_view header_bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(header_bytes.data(), header_bytes.size(), digest.data(), &length, EVP_sha256(),
                   nullptr) != 1) {
        throw seal_error("SHA-256 failed");
    }
    tag out{};
    std::memcpy(out.data(), digest.data(), out.size());
    return out;
}

header decode_header(std::string_view bytes) {
    if (bytes.substr(0, header_magic.size()) != header_magic) {
        throw seal_error("not a seal file");
    }
    if (const auto version = get<std::uint32_t>(bytes, 8); version != format_version) {
        throw seal_error("seal format version {} is not known (this tool reads {})", version,
                         format_version);
    }
    const auto flags = get<std::uint32_t>(bytes, 12);
    if ((flags & ~1U) != 0) {
        throw seal_error("seal header has unknown flags {:#x}", flags);
    }
    header value;
    value.sealed = (flags & 1) != 0;
    std::memcpy(value.log.data(), bytes.data() + 16, value.log.size());
    std::memcpy(value.key.data(), bytes.data() + 32, value.key.size());
    value.start = get<std::uint64_t>(bytes, 48);
    value.interval = get<std::uint64_t>(bytes, 56);
    value.generation = get<std::uint64_t>(bytes, 64);
    std::memcpy(value.previous.data(), bytes.data() + 72, value.previous.size());
    return value;
}

void encode_entry(std::string& out, entry_kind kind, span_reason reason, std::uint64_t epoch,
                  std::uint64_t bytes, std::span<const std::size_t> values) {
    const std::size_t begin = out.size();
    out.append(entry_magic);
    out.push_back(static_cast<char>(kind));
    out.push_back(static_cast<char>(reason));
    put<std::uint16_t>(out, 0);
    put<std::uint32_t>(out, 0);  // the size, filled in below
    put(out, epoch);
    put(out, bytes);
    put(out, static_cast<std::uint32_t>(values.size()));
    for (const std::size_t value : values) {
        put_varint(out, value);
    }
    // The size field counts the check but not the MAC, which is the caller's to append.
    const auto size = static_cast<std::uint32_t>(out.size() - begin + check_size);
    for (std::size_t i = 0; i < 4; ++i) {
        out[begin + 12 + i] = static_cast<char>((size >> (8 * i)) & 0xff);
    }
    const auto check = check_of(std::string_view(out).substr(begin));
    out.append(check.begin(), check.end());
}

decoded decode_entry(std::string_view bytes, bool sealed, entry& out, std::size_t& size) {
    const std::size_t prefix = std::min(bytes.size(), entry_magic.size());
    if (bytes.substr(0, prefix) != entry_magic.substr(0, prefix)) {
        return decoded::invalid;
    }
    if (bytes.size() < 16) {
        return decoded::incomplete;
    }
    const auto kind = static_cast<unsigned char>(bytes[8]);
    const auto reason = static_cast<unsigned char>(bytes[9]);
    const std::size_t mac = sealed ? mac_size : 0;
    // The size counts the check but not the MAC, which follows the check.
    const auto counted = get<std::uint32_t>(bytes, 12);
    if (kind < 1 || kind > 4 || reason > 2 || get<std::uint16_t>(bytes, 10) != 0 ||
        counted < entry_head_size + check_size || counted > max_entry_size) {
        return decoded::invalid;
    }
    size = counted + mac;
    if (bytes.size() < size) {
        return decoded::incomplete;
    }
    const std::size_t values_end = counted - check_size;
    if (check_of(bytes.substr(0, values_end)) != [&] {
            std::array<unsigned char, check_size> stored{};
            std::memcpy(stored.data(), bytes.data() + values_end, stored.size());
            return stored;
        }()) {
        return decoded::invalid;
    }
    out.kind = static_cast<entry_kind>(kind);
    out.reason = static_cast<span_reason>(reason);
    out.epoch = get<std::uint64_t>(bytes, 16);
    out.bytes = get<std::uint64_t>(bytes, 24);
    const auto count = get<std::uint32_t>(bytes, 32);
    if (count > values_end - entry_head_size) {
        return decoded::invalid;
    }
    out.values.resize(count);
    std::size_t at = entry_head_size;
    std::uint64_t covered = 0;
    for (auto& value : out.values) {
        if (at >= values_end || !get_varint(bytes.substr(0, values_end), at, value)) {
            return decoded::invalid;
        }
        // Checked before adding: lengths from the file must not wrap the sum round.
        if (out.kind == entry_kind::group && value >= out.bytes - covered) {
            return decoded::invalid;
        }
        covered += value + 1;
    }
    bool consistent = at == values_end;
    switch (out.kind) {
        case entry_kind::group:
            consistent = consistent && count > 0 && covered == out.bytes;
            break;
        case entry_kind::span:
            consistent = consistent && count == 0 && out.bytes > 0;
            break;
        case entry_kind::tick:
            consistent = consistent && count == 0 && out.bytes == 0;
            break;
        case entry_kind::resume:
            consistent = consistent && count == 1 && out.bytes == 0;
            break;
    }
    return consistent ? decoded::entry : decoded::invalid;
}

bool torn_entry(std::string_view bytes, bool sealed) {
    entry value;
    std::size_t size = 0;
    if (bytes.empty() || decode_entry(bytes, sealed, value, size) != decoded::incomplete) {
        return false;
    }
    for (auto at = bytes.find(entry_magic, 1); at != std::string_view::npos;
         at = bytes.find(entry_magic, at + 1)) {
        if (decode_entry(bytes.substr(at), sealed, value, size) == decoded::entry) {
            return false;
        }
    }
    return true;
}

}  // namespace seal
