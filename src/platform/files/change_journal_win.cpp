#include "platform/files/change_journal.h"

namespace warderon {

// Wine offers no change journal; the file monitor walks in full.
std::unique_ptr<TChangeJournal> MakeSystemChangeJournal(std::size_t) { return nullptr; }

}  // namespace warderon
