#pragma once

#include <filesystem>

#include "io/unique_fd.hpp"
#include "permissions/permissions_error.hpp"

namespace permissions {

// The folder of a protected file, reached from `/` one component at a time through
// descriptors, so that nobody but root can have steered the way there. Owns the folder's
// descriptor: every later change in the folder (create, link, rename, remove) goes through it,
// never through the path again.
class safe_folder {
public:
    // Walks `folder` (from the working folder when relative), following only root's own links.
    // With `create`, missing folders are made as root with mode 0755 whatever the umask.
    // Throws `permissions_error`, naming the component and why, when one could be replaced by
    // someone other than root: that check comes before anything is created.
    safe_folder(const std::filesystem::path& folder, bool create);
    safe_folder(safe_folder&&) noexcept = default;
    safe_folder& operator=(safe_folder&&) noexcept = default;

    int folder_descriptor() const { return fd.get(); }
    // The folder as it was asked for, made absolute: for messages.
    const std::filesystem::path& path() const { return where; }
    // Throws `permissions_error` unless only root may add, remove or rename entries of the
    // folder: a shared or sticky folder must not hold a protected file.
    void require_private() const;
    // Another owner of the same folder's descriptor.
    safe_folder duplicate() const;

private:
    safe_folder(io::unique_fd folder, std::filesystem::path path);

    io::unique_fd fd;
    std::filesystem::path where;
};

}  // namespace permissions
