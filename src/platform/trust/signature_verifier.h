// Whether the platform trusts an executable file, and who signed it.
// Windows: the Authenticode signature, embedded or through a system
// catalogue. Linux: the package database (an installed package lists the
// file and its recorded digest matches), which is package verification,
// not a cryptographic signature.
#pragma once

#include <memory>
#include <string>

namespace warderon {

struct TSignature {
  bool trusted = false;
  std::string company = "N/A";  // the signer (Linux: the package's maintainer)
};

class TSignatureVerifier {
 public:
  virtual ~TSignatureVerifier() = default;
  // Empty when files can be verified; else why not (a library or one of its
  // functions that could not be had at start).
  virtual std::string UnavailableReason() const = 0;
  virtual TSignature VerifyFileSignature(const std::string& path) = 0;
};

// Loads what verification needs; made once, at process start.
std::unique_ptr<TSignatureVerifier> MakeSystemSignatureVerifier();

}  // namespace warderon
