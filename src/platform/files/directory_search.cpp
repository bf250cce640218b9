#include "platform/files/directory_search.h"

#include <algorithm>

namespace warderon {

// The plain forms, for a search that has nothing cheaper.
bool TDirectorySearch::ListNames(
    TOpenDirectory& directory,
    const std::function<void(std::string_view name, bool is_directory)>& on_name) {
  return List(directory,
              [&on_name](const TFoundEntry& entry) { on_name(entry.name, entry.is_directory); });
}

std::unique_ptr<TOpenDirectory> TDirectorySearch::OpenBelow(TOpenDirectory& top,
                                                            std::string_view relative) {
  std::unique_ptr<TOpenDirectory> current;
  for (std::size_t start = 0; start <= relative.size();) {
    const std::size_t end = std::min(relative.find('/', start), relative.size());
    auto next = OpenSubdirectory(current ? *current : top, relative.substr(start, end - start));
    if (!next) return nullptr;
    current = std::move(next);
    start = end + 1;
  }
  return current;
}

std::optional<TFoundEntry> TDirectorySearch::Find(TOpenDirectory& directory,
                                                  std::string_view name) {
  std::optional<TFoundEntry> found;
  List(directory, [&](const TFoundEntry& entry) {
    if (!found && entry.name == name) {
      found = entry;
      found->name = name;
    }
  });
  return found;
}

}  // namespace warderon
