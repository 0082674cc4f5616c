#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "permissions/safe_folder.hpp"

// Sets or lifts the append-only attribute; false, with errno, when it cannot.
bool set_append_only(int fd, bool on);
// The name of the seal of the log or archive `log`.
std::string seal_name(const std::string& log);

// The archives of one log, beside it in its folder, named after it with the UTC second each was
// made and a sequence number: lists them oldest first, turns the log and its seal into the
// newest, and removes the oldest beyond the count to keep, each once `may_remove` lets it go.
// Acts through the folder's descriptor only, and on no file the daemon cannot have made.
class log_archives {
public:
    // `keep` 0: all are kept. `removable` false keeps an archive, and those after it, for now.
    log_archives(const permissions::safe_folder& log_folder, std::string log_name,
                 std::uint64_t keep,
                 std::function<bool(const std::filesystem::path& archive)> removable);

    std::vector<std::string> list() const;
    // Renames the log, open as `log`, and its seal (which must be there when `sealing`) to the
    // next archive and its seal, protects them again and removes the oldest archives beyond
    // the count. Throws std::system_error, the log left as it was, when it cannot be renamed.
    void make_newest(int log, bool sealing, bool sync);
    // A rotation moves the seal first, then the log: after a crash between the two, the log
    // (open as `log`, `size` bytes) holds records while its seal already has the newest
    // archive's name. Gives the log that name too and returns true; false when no rotation
    // was cut.
    bool finish_cut_rotation(int log, std::uint64_t size);
    // Removes archives held for `may_remove` that it has let go since; asks once a second.
    void remove_let_go();
    // Sets the append-only attribute again on the archives that lost it.
    void protect(const std::vector<std::string>& names) const;

private:
    std::vector<std::string> entries() const;
    void remove_old(const std::vector<std::string>& kept);

    const permissions::safe_folder& folder;
    const std::string name;
    const std::uint64_t max_archives;
    const std::function<bool(const std::filesystem::path&)> may_remove;
    // Archives past max_archives are kept until `may_remove` lets them go.
    bool waiting = false;
    std::chrono::steady_clock::time_point checked;
};
