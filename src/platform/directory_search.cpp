#include "platform/directory_search.h"

namespace warderon {

// The plain forms, for a search that has nothing cheaper.
bool TDirectorySearch::ListNames(
    TOpenDirectory& directory,
    const std::function<void(std::string_view name, bool is_directory)>& on_name) {
  return List(directory,
              [&on_name](const TFoundEntry& entry) { on_name(entry.name, entry.is_directory); });
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
