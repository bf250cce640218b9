#include "platform/files/atomic_file.h"

#include "platform/files/temporary_file.h"

namespace warderon {

void WriteFileAtomically(const std::string& path,
                         const std::function<void(const TWriteText&)>& produce,
                         TFileAccess access) {
  const std::unique_ptr<TTemporaryFile> temporary = CreateTemporaryFileFor(path, access);
  std::string buffer;
  buffer.reserve(1 << 20);
  produce([&](std::string_view text) {
    buffer.append(text);
    if (buffer.size() >= (1 << 20)) {
      temporary->Write(buffer);
      buffer.clear();
    }
  });
  temporary->Write(buffer);
  temporary->Finish();
}

}  // namespace warderon
