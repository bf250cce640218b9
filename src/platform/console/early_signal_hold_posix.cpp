// Part of the program alone (not of the library the tests link): the
// console signals are held from the first moment the process runs code of
// its own. An entry of .preinit_array runs before the initialisers of the
// shared libraries and of every static object, so a SIGTERM or SIGUSR1 sent
// right after exec waits for the watcher instead of ending the process.
#include <csignal>

#include "platform/console/console_signals.h"

namespace {

void HoldAtStart(int /*argc*/, char** /*argv*/, char** /*environment*/) {
  warderon::HoldConsoleSignals();
}

}  // namespace

__attribute__((section(".preinit_array"), used)) void (*const kHoldAtStart)(int, char**,
                                                                            char**) = HoldAtStart;
