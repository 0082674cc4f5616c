#pragma once

#include <filesystem>
#include <ios>
#include <optional>
#include <string>

#include "permissions/permissions_error.hpp"

namespace permissions {

// Replaces the whole access ACL of target with the one given in text form.
void apply_acl(const std::filesystem::path& target, const char* text);

// Prepares and guards one regular file: created 0600 when asked, its append-only attribute
// cleared so it can be re-protected, then directory ACL, owner, label and ACL applied in a
// chain that `open_append_only` ends. Owns the descriptor that chain leaves open.
class protected_file {
public:
    protected_file(const std::filesystem::path& path, bool create);
    ~protected_file();
    protected_file(const protected_file&) = delete;
    protected_file& operator=(const protected_file&) = delete;

    protected_file& set_directory_acl(const std::string& acl);
    protected_file& set_owner(const std::string& user, const std::string& group);
    protected_file& set_mac_label(const std::string& label);
    protected_file& set_acl(const std::string& acl);
    int open_append_only(std::ios_base::openmode mode);

    std::optional<int> descriptor() const { return fd; }

private:
    std::optional<int> fd;
    std::filesystem::path path;
};

}  // namespace permissions
