#pragma once

#include "common/text.h"

#include <cstdint>
#include <string>

namespace ovan {

// Files larger than this get no patch: making one takes about nine times the old file's size in memory.
const uint64_t kDeltaMostFileSize = 256ull * 1024 * 1024;

// A patch (see update/delta_patch.h) that turns oldBytes into newBytes. False, with the reason, when there
// is none: a file over kDeltaMostFileSize, memory that ran out, or files so repetitive that matching them
// would take more than a bounded amount of work.
bool createDeltaPatch(const ByteBuffer& oldBytes, const ByteBuffer& newBytes, ByteBuffer& patch,
                      std::wstring& errorText);

}  // namespace ovan
