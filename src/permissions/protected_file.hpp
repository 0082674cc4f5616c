#pragma once

#include <filesystem>
#include <ios>
#include <optional>
#include <string>

#include "io/unique_fd.hpp"
#include "permissions/permissions_error.hpp"
#include "permissions/safe_folder.hpp"

namespace permissions {

// Replaces the whole access ACL of target with the one given in text form; target is opened
// without following a symbolic link in its last component.
void apply_acl(const std::filesystem::path& target, const char* text);
// The same on an open descriptor.
void apply_acl(int target, const char* text);

// Prepares and guards one regular file in a folder walked by `safe_folder`, then directory
// ACL, owner, label and ACL applied in a chain that `open_append_only` ends; every change goes
// through descriptors, never through the path again. Only a file that nobody but root could
// have opened for writing is taken over: an existing one must be root's, with one link and no
// write permission for anyone else. A new one is created without a name and linked to it only
// once protected, so that nobody else ever holds a descriptor to it. A chain that does not
// finish sets the append-only attribute it cleared again. Owns the descriptors it keeps.
class protected_file {
public:
    protected_file(const std::filesystem::path& path, bool create);
    // The file `name` in a folder already walked, as a new log next to an earlier one.
    protected_file(const safe_folder& folder, const std::string& name, bool create);
    ~protected_file();
    protected_file(const protected_file&) = delete;
    protected_file& operator=(const protected_file&) = delete;

    protected_file& set_directory_acl(const std::string& acl);
    protected_file& set_owner(const std::string& user, const std::string& group);
    protected_file& set_mac_label(const std::string& label);
    protected_file& set_acl(const std::string& acl);
    int open_append_only(std::ios_base::openmode mode);

    std::optional<int> descriptor() const;
    const safe_folder& folder() const { return directory; }

private:
    void prepare(bool create);

    std::filesystem::path path;
    safe_folder directory;
    std::string name;
    // Read-only, for the changes: the file as it was found or made, whatever its name is later.
    io::unique_fd file;
    io::unique_fd out;
    // A new file that has no name yet.
    bool unnamed = false;
    // The append-only attribute was found set and cleared, and is not set again yet.
    bool reprotect = false;
};

}  // namespace permissions
