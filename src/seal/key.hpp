#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "seal/format.hpp"

struct evp_mac_ctx_st;

// The keys of sealing. The verification key is a random seed; every epoch's key follows from
// it one way, and the key file holds only the current epoch's state:
//   state(0)   = HMAC-SHA-256(seed, "velmoevents-seal initial state")
//   state(n+1) = HMAC-SHA-256(state(n), "velmoevents-seal next state")
//   key(n)     = HMAC-SHA-256(state(n), "velmoevents-seal entry key")  -- the entries' GMAC key
//   key id     = HMAC-SHA-256(seed, "velmoevents-seal key id"), first 16 bytes
namespace seal {

// 32 bytes of key material, wiped when they go.
class secret {
public:
    secret() = default;
    ~secret();
    secret(const secret& other) = default;
    secret& operator=(const secret& other) = default;

    static secret random();
    unsigned char* data() { return bytes.data(); }
    const unsigned char* data() const { return bytes.data(); }
    static constexpr std::size_t size() { return 32; }
    bool operator==(const secret& other) const;

private:
    std::array<unsigned char, 32> bytes{};
};

secret initial_state(const secret& seed);
secret next_state(const secret& state);
secret entry_key(const secret& state);
identity key_id(const secret& seed);

// The entries' MAC: GMAC, AES-256-GCM over no plaintext, keyed once per epoch and run once per
// entry with a fresh IV. Eight times the speed of HMAC-SHA-256 here, which the writer feels.
class entry_mac {
public:
    entry_mac();
    ~entry_mac();
    entry_mac(const entry_mac&) = delete;
    entry_mac& operator=(const entry_mac&) = delete;

    void set_key(const secret& key);
    // Starts a MAC under the key last set and `iv` (iv_size bytes).
    void begin(const unsigned char* iv);
    void update(const void* bytes, std::size_t size);
    tag finish();

private:
    struct release {
        void operator()(evp_mac_ctx_st* context) const;
    };
    std::unique_ptr<evp_mac_ctx_st, release> context;
};

// What an auditor keeps off the host: "SEED/START/INTERVAL", the seed in 64 hex digits,
// the first epoch's start in seconds since 1970 and the epoch's length in seconds.
struct verification_key {
    secret seed;
    std::uint64_t start = 0;
    std::uint64_t interval = 0;

    std::string text() const;
    // Throws seal_error.
    static verification_key parse(std::string_view text);
};

// The sealing key as the key file holds it: the current epoch and its state only.
struct sealing_key {
    identity id{};
    std::uint64_t start = 0;
    std::uint64_t interval = 0;
    std::uint64_t epoch = 0;
    secret state;

    // The epoch that holds `now` (never before the first).
    std::uint64_t epoch_at(std::time_t now) const;
    // Moves the state forward to `target`, wiping every state it passes.
    void advance(std::uint64_t target);
};

// Both throw seal_error naming the file. Storing writes a new file (mode 0600), syncs it,
// renames it over the old one (or, with `replace` false, only where there is none), syncs the
// folder, then overwrites the old file's bytes, so no past state lingers on the disk's blocks.
sealing_key load_key_file(const std::filesystem::path& file);
void store_key_file(const std::filesystem::path& file, const sealing_key& key, bool replace);

}  // namespace seal
