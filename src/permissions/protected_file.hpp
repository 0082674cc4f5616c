#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <ios>
#include <optional>
#include <string>

#include "permissions/permissions_error.hpp"

namespace permissions {

// Replaces the whole access ACL of target with the one given in text form; target is opened
// without following a symbolic link in its last component.
void apply_acl(const std::filesystem::path& target, const char* text);
// The same on an open descriptor.
void apply_acl(int target, const char* text);

// Prepares and guards one regular file: created 0600 when asked, its append-only attribute
// cleared so it can be re-protected, then directory ACL, owner, label and ACL applied in a
// chain that `open_append_only` ends. The file and its folder are resolved once, without
// following a link in their last components, and every change goes through those
// descriptors: nothing swapped under the path afterwards can redirect one. Owns the descriptor
// that the chain leaves open.
class protected_file {
public:
    protected_file(std::filesystem::path path, bool create);
    ~protected_file();
    protected_file(const protected_file&) = delete;
    protected_file& operator=(const protected_file&) = delete;

    protected_file& set_directory_acl(const std::string& acl);
    protected_file& set_owner(const std::string& user, const std::string& group);
    protected_file& set_mac_label(const std::string& label);
    protected_file& set_acl(const std::string& acl);
    int open_append_only(std::ios_base::openmode mode);

    std::optional<int> descriptor() const { return fd; }
    // The folder's owner and mode, as resolved at construction.
    struct stat directory_status() const;

private:
    std::optional<int> fd;
    std::filesystem::path path;
    int directory = -1;
    // Read-only, for the changes: the file as it was found, whatever its path names later.
    int file = -1;
};

}  // namespace permissions
