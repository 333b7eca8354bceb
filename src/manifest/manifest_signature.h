#pragma once

#include "common/text.h"
#include "transfer/http_get.h"

#include <string>
#include <vector>

namespace ovan {

// A public key as it is built into the launcher and as OVANPublish prints it: the base64 of X||Y.
std::wstring publicKeyText(const ByteBuffer& publicKey);

// One or two key texts separated by blanks (spaces or tabs); false for anything else.
bool parsePublicKeys(const std::wstring& text, std::vector<ByteBuffer>& keys);

// A file of one base64 line (a signature, a private key), optionally ended by LF or CR LF;
// false unless it decodes to exactly `size` bytes. bytes untouched on failure.
bool decodeBase64Line(const ByteBuffer& file, size_t size, ByteBuffer& bytes);

// The signature lies at the manifest's address with ".sig" appended.
std::wstring signatureAddress(const std::wstring& manifestAddress);

// Downloads the signature file of a manifest; the failure text is the download's own.
bool fetchManifestSignature(HttpSession& session, const std::wstring& manifestAddress, ByteBuffer& signatureFile,
                            std::wstring& errorText);

// Whether the manifest's bytes, exactly as served, carry a valid signature by one of the keys.
// False for a malformed signature file and for a key list that parsePublicKeys refuses.
bool isManifestSignedBy(const ByteBuffer& manifestBytes, const ByteBuffer& signatureFile, const std::wstring& publicKeys);

}  // namespace ovan
