// The platform half of WriteFileAtomically: a new file beside the target,
// written and flushed, then put in the target's place.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace warderon {

class TTemporaryFile {
 public:
  virtual ~TTemporaryFile() = default;
  // Raise std::runtime_error naming the file and the reason.
  virtual void Write(std::string_view text) = 0;
  // Flushes to the disk and renames over the target; until then the
  // destructor removes the temporary file.
  virtual void Finish() = 0;
};

// Who may read the file: the service alone (its folder is prepared as
// atomic_file.h says), or every user of a folder that already exists and
// belongs to someone else (a metrics folder that an exporter reads).
enum class TFileAccess { ServiceOnly, ReadableByAll };

// Prepares the target's folder (service-only files) and creates the
// temporary file beside the target. Raises std::runtime_error.
std::unique_ptr<TTemporaryFile> CreateTemporaryFileFor(
    const std::string& target, TFileAccess access = TFileAccess::ServiceOnly);

}  // namespace warderon
