#pragma once

#include "common/text.h"

#include <string>

namespace ovan {

// keygen: a new key pair; the private key goes to a new file (an existing one is never replaced),
// the public key text to standard output. Returns the exit code.
int generateKeyFile(const std::wstring& keyPath);

// The signature file of the manifest bytes by the private key in keyPath, checked against the key's
// public half before it is handed out; publicKey receives that half's text.
bool signManifest(const std::string& manifestBytes, const std::wstring& keyPath, std::string& signatureFile,
                  std::wstring& publicKey, std::wstring& errorText);

// Whether the signature beside the manifest (its path + ".sig") is one the launcher built with
// the given keys accepts; says what it finds.
bool reportSignature(const std::wstring& manifestPath, const std::wstring& publicKeys);

}  // namespace ovan
