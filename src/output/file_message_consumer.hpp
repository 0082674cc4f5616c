#pragma once

#include <filesystem>
#include <string>

#include "permissions/protected_file.hpp"

// Appends each message, byte for byte plus one newline, to the protected event log that it
// prepares at construction. Called from one thread only.
class file_message_consumer {
public:
    explicit file_message_consumer(const std::filesystem::path& path);

    // Never throws for a write problem: a failed record is logged.
    void consume(const std::string& message);

private:
    permissions::protected_file file;
    // The file ends inside a record (cut short by a full disk, or by a kill of an earlier
    // run): the next record must first end it, so that none is ever glued to a broken one.
    bool record_open = false;
};
