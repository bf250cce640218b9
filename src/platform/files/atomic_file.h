// Writes a file so that a crash or a full disk never leaves it half
// written: the text goes to a temporary file in the same folder, which is
// flushed to the disk and then renamed over the old file in one step.
//
// The file holds what the service trusts, so only the service may change
// it: the folder is created for its owner alone (Linux: 0700; Windows:
// SYSTEM and Administrators, no inherited rights), an existing folder loses
// the write rights of others, the file is created 0600, and nothing found at
// the temporary name (a planted link) is ever followed.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "platform/files/temporary_file.h"

namespace warderon {

using TWriteText = std::function<void(std::string_view)>;

// Creates the folder (and any missing parent) first. Calls produce with a
// function that appends text. Raises std::runtime_error naming the file and
// the reason when anything fails (the folder, the temporary file, a write,
// the flush, the rename); the old file is then untouched. An exception from
// produce passes through, with the same guarantee.
void WriteFileAtomically(const std::string& path,
                         const std::function<void(const TWriteText&)>& produce,
                         TFileAccess access = TFileAccess::ServiceOnly);

// Creates the folder and any missing parent for the service alone, as
// WriteFileAtomically does for a file's folder. Raises std::runtime_error.
void PrepareServiceFolder(const std::string& folder);

// Opens a file for reading by its UTF-8 path; null on failure, with errno
// set (ENOENT when it does not exist, EISDIR when it is a directory).
std::FILE* OpenFileForReading(const std::string& path);

}  // namespace warderon
