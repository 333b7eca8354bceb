#pragma once

#include "common/scoped_handle.h"

#include <windows.h>
#include <bcrypt.h>

namespace ovan {

// Owners of the CNG objects the digest and the signature code open.
struct CngProviderTraits {
    using Value = BCRYPT_ALG_HANDLE;
    static Value empty() { return nullptr; }
    static void release(Value value) { BCryptCloseAlgorithmProvider(value, 0); }
};

struct CngHashTraits {
    using Value = BCRYPT_HASH_HANDLE;
    static Value empty() { return nullptr; }
    static void release(Value value) { BCryptDestroyHash(value); }
};

struct CngKeyTraits {
    using Value = BCRYPT_KEY_HANDLE;
    static Value empty() { return nullptr; }
    static void release(Value value) { BCryptDestroyKey(value); }
};

using CngProvider = Scoped<CngProviderTraits>;
using CngHash = Scoped<CngHashTraits>;
using CngKey = Scoped<CngKeyTraits>;

}  // namespace ovan
