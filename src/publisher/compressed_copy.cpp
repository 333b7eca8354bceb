#include "publisher/compressed_copy.h"

#include "common/file_bytes.h"
#include "common/scoped_handle.h"
#include "common/paths.h"
#include "diagnostics/error_text.h"
#include "transfer/inflating_sink.h"
#include "transfer/sha256_file.h"

#include <windows.h>
#include <zlib.h>

#include <vector>

namespace ovan {

namespace {

const size_t kChunk = 256 * 1024;

// Owns a deflate stream from a successful init to its end.
class DeflateStream {
public:
    DeflateStream() { ready_ = deflateInit2(&stream_, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY) == Z_OK; }
    ~DeflateStream()
    {
        if (ready_) {
            deflateEnd(&stream_);
        }
    }
    DeflateStream(const DeflateStream&) = delete;
    DeflateStream& operator=(const DeflateStream&) = delete;

    bool ready() const { return ready_; }
    z_stream& get() { return stream_; }

private:
    z_stream stream_ = {};
    bool ready_ = false;
};

// Deflates one piece of input (the last with Z_FINISH) and hands every output piece on.
bool deflatePiece(z_stream& stream, int flush, HANDLE target, std::vector<unsigned char>& out, uint64_t& size)
{
    do {
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        if (deflate(&stream, flush) == Z_STREAM_ERROR) {
            return false;
        }
        size_t produced = out.size() - stream.avail_out;
        size += produced;
        if (target != INVALID_HANDLE_VALUE && !writeBytes(target, out.data(), produced, false)) {
            return false;
        }
    } while (stream.avail_out == 0);
    return true;
}

bool deflateHandles(HANDLE source, HANDLE target, uint64_t& compressedSize)
{
    DeflateStream stream;
    std::vector<unsigned char> in(kChunk);
    std::vector<unsigned char> out(kChunk);
    uint64_t size = 0;
    if (!stream.ready()) {
        return false;
    }
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(source, in.data(), static_cast<DWORD>(in.size()), &read, nullptr)) {
            return false;
        }
        stream.get().next_in = in.data();
        stream.get().avail_in = read;
        if (!deflatePiece(stream.get(), read == 0 ? Z_FINISH : Z_NO_FLUSH, target, out, size)) {
            return false;
        }
        if (read == 0) {
            compressedSize = size;
            return true;
        }
    }
}

class HashingSink : public BodySink {
public:
    explicit HashingSink(Sha256& hash) : hash_(hash) {}
    bool write(const unsigned char* data, size_t size, std::wstring& errorText) override
    {
        if (!hash_.add(data, size)) {
            errorText = L"nie udało się policzyć SHA-256";
            return false;
        }
        return true;
    }

private:
    Sha256& hash_;
};

}  // namespace

bool verifyCompressedCopy(const std::wstring& path, uint64_t size, const std::wstring& sha256, std::wstring& errorText)
{
    Sha256 hash;
    uint64_t copySize = 0;
    if (!hash.open() || !fileLength(path, copySize)) {
        errorText = L"nie można odczytać pliku. " + formatSystemError(GetLastError());
        return false;
    }
    HashingSink hashing(hash);
    std::wstring digest;
    if (!inflateFileInto(path, hashing, size, copySize, lastPathElement(path), errorText)) {
        return false;
    }
    if (!hash.finishHex(digest) || digest != sha256) {
        errorText = L"po rozpakowaniu SHA-256 nie zgadza się z plikiem";
        return false;
    }
    return true;
}

bool deflateFile(const std::wstring& source, const std::wstring& target, uint64_t& compressedSize,
                 std::wstring& errorText)
{
    FileHandle in(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    FileHandle out;
    if (in && !target.empty()) {
        out.reset(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (!in || (!target.empty() && !out) || !deflateHandles(in.get(), out.get(), compressedSize)) {
        errorText = L"nie udało się skompresować pliku do " + (target.empty() ? source : target) + L". " +
                    formatSystemError(GetLastError());
        return false;
    }
    return true;
}

bool isClearlySmaller(uint64_t compressedSize, uint64_t plainSize)
{
    return compressedSize + 1024 <= plainSize && compressedSize * 10 <= plainSize * 9;
}

}  // namespace ovan
