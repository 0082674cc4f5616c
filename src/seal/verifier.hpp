#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "seal/format.hpp"
#include "seal/key.hpp"

namespace seal {

// Checks logs against their seals (`<log>.seal`) with the verification key: every byte of a
// log must be covered, in order, by entries whose MACs hold under their epochs' keys, and each
// file given after another must continue that one's chain.
class verifier {
public:
    struct result {
        std::filesystem::path log;
        bool intact = false;
        std::uint64_t records = 0;
        std::time_t sealed_until = 0;  // when the key of the last entry's epoch was wiped
        std::vector<std::string> warnings;
        std::string problem;
        // The first record whose seal does not hold, where there is one.
        std::optional<std::uint64_t> offset;
    };

    explicit verifier(verification_key verification);

    // The archives in order, then the log.
    std::vector<result> verify(const std::vector<std::filesystem::path>& logs);

private:
    struct link {
        std::filesystem::path log;
        std::uint64_t generation = 0;
        tag last{};
        std::uint64_t epoch = 0;  // of its last entry
        bool ticked = false;      // whether a tick ended that epoch
    };
    result verify_one(const std::filesystem::path& log, const std::optional<link>& before,
                      std::optional<link>& after);
    void key_for(std::uint64_t target);

    verification_key key;
    identity id;
    std::uint64_t epoch = 0;
    secret state;
    entry_mac mac;
};

}  // namespace seal
