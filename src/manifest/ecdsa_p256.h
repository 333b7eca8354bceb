#pragma once

#include "common/text.h"

#include <cstddef>

namespace ovan {

// Raw forms: a public key is X||Y, a private key X||Y||d, a signature r||s, each number
// 32 bytes big-endian.
const size_t kP256PublicKeySize = 64;
const size_t kP256PrivateKeySize = 96;
const size_t kP256SignatureSize = 64;

// ECDSA on the curve P-256 over the SHA-256 of the message, through CNG. False also for a key
// or signature of the wrong size or not on the curve.
bool verifyP256(const ByteBuffer& publicKey, const ByteBuffer& message, const ByteBuffer& signature);

bool signP256(const ByteBuffer& privateKey, const ByteBuffer& message, ByteBuffer& signature);

// A fresh private key from the system's random source.
bool generateP256(ByteBuffer& privateKey);

}  // namespace ovan
