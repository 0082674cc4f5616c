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
    // A record was cut short and its newline could not be written either: the next record
    // must first end it, so that no record is ever glued to a broken one.
    bool record_open = false;
};
