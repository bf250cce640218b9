// Where the policy store lives: the registry key on Windows, an SQLite file
// on Linux (chosen by -store, $WARDERON_STORE, or a default by user).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/store/policy_backend.h"

namespace warderon {

// Who opens the store: the watchdog itself also has every page of an SQLite
// store checked, so a damaged file is refused at start instead of failing
// every cycle; the -policy tool only checks the header; a reader (-status,
// -policy list, get and export) creates and changes nothing, and a missing
// store is an error for it.
enum class TStoreUser { Daemon, Tool, Reader };

// Opens the platform's policy store. Throws TPolicyError with a message fit
// for the administrator when it cannot be used.
std::unique_ptr<TPolicyBackend> OpenPolicyBackend(const std::optional<std::string>& store_path,
                                                  TStoreUser user = TStoreUser::Tool);

// Where the file monitor keeps its catalogue: "c:\orvan\warderon\files.lst"
// on Windows; next to the policy store on Linux.
std::string CataloguePath(const std::optional<std::string>& store_path);

}  // namespace warderon
