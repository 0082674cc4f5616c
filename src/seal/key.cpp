#include "seal/key.hpp"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "io/unique_fd.hpp"
#include "seal/seal_error.hpp"

namespace seal {

namespace {

secret derive(const unsigned char* key, std::string_view label) {
    secret out;
    std::size_t length = 0;
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key, secret::size(),
                  reinterpret_cast<const unsigned char*>(label.data()), label.size(), out.data(),
                  secret::size(), &length) == nullptr ||
        length != secret::size()) {
        throw seal_error("HMAC-SHA-256 failed");
    }
    return out;
}

void append_hex(std::string& out, const unsigned char* bytes, std::size_t size) {
    static constexpr std::string_view digits = "0123456789abcdef";
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0xf]);
    }
}

std::string hex(const unsigned char* bytes, std::size_t size) {
    std::string out;
    append_hex(out, bytes, size);
    return out;
}

// A key file's bytes are overwritten before its name goes: an unlinked file's blocks keep them.
void wipe_and_unlink(int folder, const std::string& name) {
    const io::unique_fd fd(::openat(folder, name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (fd && ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        const std::vector<char> zeros(static_cast<std::size_t>(info.st_size), '\0');
        if (::pwrite(fd.get(), zeros.data(), zeros.size(), 0) == info.st_size) {
            ::fdatasync(fd.get());
        }
    }
    ::unlinkat(folder, name.c_str(), 0);
}

bool unhex(std::string_view text, unsigned char* out, std::size_t size) {
    if (text.size() != 2 * size) {
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
        unsigned value = 0;
        const auto [end, error] =
            std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, value, 16);
        if (error != std::errc() || end != text.data() + 2 * i + 2) {
            return false;
        }
        out[i] = static_cast<unsigned char>(value);
    }
    return true;
}

bool number(std::string_view text, std::uint64_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

std::string error_text() { return std::strerror(errno); }

}  // namespace

secret::~secret() { OPENSSL_cleanse(bytes.data(), bytes.size()); }

secret secret::random() {
    secret out;
    if (RAND_priv_bytes(out.data(), static_cast<int>(secret::size())) != 1) {
        throw seal_error("no random bytes for a key");
    }
    return out;
}

bool secret::operator==(const secret& other) const {
    return CRYPTO_memcmp(bytes.data(), other.bytes.data(), bytes.size()) == 0;
}

secret initial_state(const secret& seed) {
    return derive(seed.data(), "velmoevents-seal initial state");
}
secret next_state(const secret& state) {
    return derive(state.data(), "velmoevents-seal next state");
}
secret entry_key(const secret& state) { return derive(state.data(), "velmoevents-seal entry key"); }

identity key_id(const secret& seed) {
    const secret full = derive(seed.data(), "velmoevents-seal key id");
    identity id{};
    std::memcpy(id.data(), full.data(), id.size());
    return id;
}

void entry_mac::release::operator()(evp_mac_ctx_st* context) const { EVP_MAC_CTX_free(context); }

entry_mac::entry_mac() {
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "GMAC", nullptr);
    if (mac == nullptr) {
        throw seal_error("OpenSSL has no GMAC");
    }
    context.reset(EVP_MAC_CTX_new(mac));
    EVP_MAC_free(mac);  // the context holds its own reference
    std::array<char, sizeof "AES-256-GCM"> cipher{"AES-256-GCM"};
    const std::array<OSSL_PARAM, 2> params{
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher.data(), 0), OSSL_PARAM_END};
    if (!context || EVP_MAC_CTX_set_params(context.get(), params.data()) != 1) {
        throw seal_error("OpenSSL cannot set up GMAC with AES-256-GCM");
    }
}

entry_mac::~entry_mac() = default;

void entry_mac::set_key(const secret& key) {
    // GCM takes nothing before an IV: a placeholder serves until `begin` gives the real one.
    std::array<unsigned char, iv_size> iv{};
    const std::array<OSSL_PARAM, 2> params{
        OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_IV, iv.data(), iv.size()), OSSL_PARAM_END};
    if (EVP_MAC_init(context.get(), key.data(), secret::size(), params.data()) != 1) {
        throw seal_error("GMAC failed");
    }
}

void entry_mac::begin(const unsigned char* iv) {
    // Without a key, the context starts over under the one it holds.
    const std::array<OSSL_PARAM, 2> params{
        OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_IV, const_cast<unsigned char*>(iv),
                                          iv_size),
        OSSL_PARAM_END};
    if (EVP_MAC_init(context.get(), nullptr, 0, params.data()) != 1) {
        throw seal_error("GMAC failed");
    }
}

void entry_mac::update(const void* bytes, std::size_t size) {
    if (EVP_MAC_update(context.get(), static_cast<const unsigned char*>(bytes), size) != 1) {
        throw seal_error("GMAC failed");
    }
}

tag entry_mac::finish() {
    tag out{};
    std::size_t length = 0;
    if (EVP_MAC_final(context.get(), out.data(), &length, out.size()) != 1 ||
        length != out.size()) {
        throw seal_error("GMAC failed");
    }
    return out;
}

std::string verification_key::text() const {
    return hex(seed.data(), secret::size()) + "/" + std::to_string(start) + "/" +
           std::to_string(interval);
}

verification_key verification_key::parse(std::string_view text) {
    verification_key key;
    const auto first = text.find('/');
    const auto second = first == std::string_view::npos ? first : text.find('/', first + 1);
    if (second == std::string_view::npos ||
        !unhex(text.substr(0, first), key.seed.data(), secret::size()) ||
        !number(text.substr(first + 1, second - first - 1), key.start) ||
        !number(text.substr(second + 1), key.interval) || key.interval == 0) {
        throw seal_error("not a verification key (SEED/START/INTERVAL, as setup printed it)");
    }
    return key;
}

std::uint64_t sealing_key::epoch_at(std::time_t now) const {
    const auto seconds = static_cast<std::uint64_t>(now < 0 ? 0 : now);
    return seconds <= start ? 0 : (seconds - start) / interval;
}

void sealing_key::advance(std::uint64_t target) {
    for (; epoch < target; ++epoch) {
        state = next_state(state);
    }
}

sealing_key load_key_file(const std::filesystem::path& file) {
    const io::unique_fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
        throw seal_error("cannot open the sealing key {}: {}", file.string(), error_text());
    }
    std::string text(512, '\0');
    const ssize_t got = ::read(fd.get(), text.data(), text.size());
    if (got < 0) {
        throw seal_error("cannot read the sealing key {}: {}", file.string(), error_text());
    }
    text.resize(static_cast<std::size_t>(got));
    sealing_key key;
    std::size_t fields = 0;
    std::string_view rest(text);
    bool first = true;
    bool valid = true;
    while (!rest.empty() && valid) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (first) {
            valid = line == "velmoevents-seal key 1";
            first = false;
            continue;
        }
        const auto space = line.find(' ');
        const std::string_view name = line.substr(0, space);
        const std::string_view value =
            space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
        ++fields;
        if (name == "id") {
            valid = unhex(value, key.id.data(), key.id.size());
        } else if (name == "start") {
            valid = number(value, key.start);
        } else if (name == "interval") {
            valid = number(value, key.interval) && key.interval > 0;
        } else if (name == "epoch") {
            valid = number(value, key.epoch);
        } else if (name == "state") {
            valid = unhex(value, key.state.data(), secret::size());
        } else {
            valid = false;
        }
    }
    OPENSSL_cleanse(text.data(), text.size());
    if (first || !valid || fields != 5) {
        throw seal_error("{} is not a sealing key made by velmoevents-seal setup", file.string());
    }
    return key;
}

void store_key_file(const std::filesystem::path& file, const sealing_key& key, bool replace) {
    const auto folder_path = file.has_parent_path() ? file.parent_path() : ".";
    const io::unique_fd folder(::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        throw seal_error("cannot open the folder of the sealing key {}: {}", file.string(),
                         error_text());
    }
    const std::string name = file.filename().string();
    const std::string fresh = "." + name + ".new";
    // Built in place in room reserved up front: no temporary or reallocation keeps the state.
    std::string text;
    text.reserve(512);
    text += "velmoevents-seal key 1\nid ";
    append_hex(text, key.id.data(), key.id.size());
    text += "\nstart " + std::to_string(key.start) + "\ninterval " + std::to_string(key.interval) +
            "\nepoch " + std::to_string(key.epoch) + "\nstate ";
    append_hex(text, key.state.data(), secret::size());
    text += "\n";
    const auto fail = [&](const char* what) {
        const std::string reason = error_text();
        OPENSSL_cleanse(text.data(), text.size());
        wipe_and_unlink(folder.get(), fresh);
        throw seal_error("cannot {} the sealing key {}: {}", what, file.string(), reason);
    };
    wipe_and_unlink(folder.get(), fresh);
    {
        const io::unique_fd out(::openat(folder.get(), fresh.c_str(),
                                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                         0600));
        if (!out || ::fchmod(out.get(), 0600) != 0) {
            fail("create");
        }
        if (::write(out.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
            ::fsync(out.get()) != 0) {
            fail("write");
        }
    }
    OPENSSL_cleanse(text.data(), text.size());
    // Held across the rename, so that its bytes can be overwritten once nothing names it.
    const io::unique_fd old(
        ::openat(folder.get(), name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    const int renamed = replace
                            ? ::renameat(folder.get(), fresh.c_str(), folder.get(), name.c_str())
                            : ::renameat2(folder.get(), fresh.c_str(), folder.get(), name.c_str(),
                                          RENAME_NOREPLACE);
    if (renamed != 0) {
        fail("replace");
    }
    if (::fsync(folder.get()) != 0) {
        throw seal_error("cannot sync the folder of the sealing key {}: {}", file.string(),
                         error_text());
    }
    struct stat info {};
    if (old && ::fstat(old.get(), &info) == 0 && info.st_nlink == 0 && info.st_size > 0) {
        const std::vector<char> zeros(static_cast<std::size_t>(info.st_size), '\0');
        if (::pwrite(old.get(), zeros.data(), zeros.size(), 0) == info.st_size) {
            ::fdatasync(old.get());
        }
    }
}

}  // namespace seal
