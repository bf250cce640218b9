// Every real policy backend of this build, each on scratch storage that the
// test owns: a temporary SQLite file on Linux, a temporary key under
// HKEY_CURRENT_USER on Windows (never the machine's live policy key).
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/store/policy_backend.h"

namespace warderon::testing {

struct TBackendKind {
  std::string name;
  std::function<std::unique_ptr<TPolicyBackend>()> make;
  // Wine's registry enumerates values by name, not by creation.
  bool keeps_creation_order = true;
};

std::vector<TBackendKind> AllBackendKinds();

// Lets gtest print a backend kind by its name.
inline void PrintTo(const TBackendKind& kind, std::ostream* out) { *out << kind.name; }

// A fresh path for a scratch file (removed, with its SQLite side files,
// when the process ends).
std::string ScratchPath(const std::string& stem);

// A fresh key path below HKEY_CURRENT_USER for a scratch registry store
// (removed when the process ends). Windows only.
std::string ScratchRegistryPath();

// True when the tests run under Wine.
bool RunningUnderWine();

}  // namespace warderon::testing

namespace warderon::testing {

// Names parameterised tests after their backend.
struct TBackendKindName {
  template <class TInfo>
  std::string operator()(const TInfo& param_info) const {
    return param_info.param.name;
  }
};

}  // namespace warderon::testing
