#pragma once

#include "transfer/body_sink.h"

#include <string>

namespace ovan {

// Applies the patch in the file at patchPath to the file at oldPath, which is only read, writing the new
// file to output. The reasons a patch is refused are those of applyDeltaPatch; a file that cannot be read is
// named.
bool applyDeltaFile(const std::wstring& patchPath, const std::wstring& oldPath, BodySink& output,
                    std::wstring& errorText);

}  // namespace ovan
