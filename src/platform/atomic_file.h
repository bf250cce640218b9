// Writes a file so that a crash or a full disk never leaves it half
// written: the text goes to a temporary file in the same folder, which is
// flushed to the disk and then renamed over the old file in one step.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace warderon {

using TWriteText = std::function<void(std::string_view)>;

// Creates the folder (and any missing parent) first. Calls produce with a
// function that appends text. Returns false, with the old file untouched,
// when the temporary file cannot be created or written; raises
// std::runtime_error when the finished file cannot be put in place.
bool WriteFileAtomically(const std::string& path,
                         const std::function<void(const TWriteText&)>& produce);

// Opens a file for reading by its UTF-8 path; null on failure, with errno
// set (ENOENT when it does not exist).
std::FILE* OpenFileForReading(const std::string& path);

}  // namespace warderon
