// Package verification against a dpkg database in a folder chosen by the
// caller (the machine's is /var/lib/dpkg), so tests can build their own.
#pragma once

#include <memory>
#include <string>

#include "platform/trust/signature_verifier.h"

namespace warderon {

std::unique_ptr<TSignatureVerifier> MakePackageSignatureVerifier(const std::string& database);

}  // namespace warderon
