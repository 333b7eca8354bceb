// Writes the fuzzer's first inputs: real patches from the fuzz old file to a few variants of it.
#include "fuzz_old_file.h"
#include "publisher/delta_create.h"
#include "update/delta_patch.h"

#include <zlib.h>

#include <cstdio>
#include <string>

using namespace ovan;

namespace {

bool blocksOf(const ByteBuffer& patch, ByteBuffer& plain)
{
    plain.assign(patch.begin(), patch.begin() + kDeltaHeaderSize);
    uLongf room = 1 << 20;
    ByteBuffer blocks(room);
    if (uncompress(blocks.data(), &room, patch.data() + kDeltaHeaderSize,
                   static_cast<uLong>(patch.size() - kDeltaHeaderSize)) != Z_OK) {
        return false;
    }
    plain.insert(plain.end(), blocks.begin(), blocks.begin() + room);
    return true;
}

bool writeSeed(const char* folder, int number, const ByteBuffer& bytes)
{
    std::string path = std::string(folder) + "/seed" + std::to_string(number);
    FILE* file = std::fopen(path.c_str(), "wb");
    bool written = file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return file != nullptr && std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: delta_seeds <corpus folder>\n");
        return 2;
    }
    ByteBuffer old = fuzzOldFile();
    ByteBuffer shifted(old.begin() + 100, old.end());
    shifted.insert(shifted.end(), old.begin(), old.begin() + 300);
    ByteBuffer touched = old;
    for (size_t i = 0; i < touched.size(); i += 50) {
        touched[i] ^= 0x5A;
    }
    ByteBuffer variants[] = {old, shifted, touched, ByteBuffer(), ByteBuffer(9000, 0), ByteBuffer(old.begin(), old.begin() + 7)};
    int written = 0;
    for (const ByteBuffer& next : variants) {
        ByteBuffer patch;
        std::wstring errorText;
        if (!createDeltaPatch(old, next, patch, errorText)) {
            return 1;
        }
        ByteBuffer plain;
        if (!blocksOf(patch, plain)) {
            return 1;
        }
        // Both forms the target reads: the patch as it is, and the header with the blocks not deflated.
        patch.insert(patch.begin(), 1);
        plain.insert(plain.begin(), 0);
        if (!writeSeed(argv[1], ++written, patch) || !writeSeed(argv[1], ++written, plain)) {
            return 1;
        }
    }
    return 0;
}
