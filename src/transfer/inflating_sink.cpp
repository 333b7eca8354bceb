#include "transfer/inflating_sink.h"

#include "common/scoped_handle.h"
#include "diagnostics/error_text.h"

#include <windows.h>

#include <algorithm>
#include <limits>
#include <utility>

namespace ovan {

namespace {

const size_t kOutputPiece = 256 * 1024;

const wchar_t* const kDamaged = L"Skompresowana kopia pliku jest uszkodzona: ";
const wchar_t* const kTooLong = L"Skompresowana kopia pliku rozpakowuje się do więcej bajtów, niż podaje manifest: ";
const wchar_t* const kTooShort = L"Skompresowana kopia pliku rozpakowuje się do mniej bajtów, niż podaje manifest: ";

}  // namespace

InflatingSink::InflatingSink(BodySink& target, uint64_t expectedSize, uint64_t compressedSize, std::wstring name)
    : target_(target), expectedSize_(expectedSize), compressedLeft_(compressedSize), name_(std::move(name)),
      out_(kOutputPiece)
{
    ready_ = inflateInit(&stream_) == Z_OK;
}

InflatingSink::~InflatingSink()
{
    if (ready_) {
        inflateEnd(&stream_);
    }
}

bool InflatingSink::fail(const wchar_t* text, std::wstring& errorText) const
{
    errorText = text + name_;
    return false;
}

bool InflatingSink::write(const unsigned char* data, size_t size, std::wstring& errorText)
{
    // A stream longer than the copy is not the copy, whatever it inflates to.
    if (!ready_ || size > compressedLeft_) {
        return fail(kDamaged, errorText);
    }
    compressedLeft_ -= size;
    // zlib counts its input in uInt, narrower than size_t on 64-bit Windows.
    while (size > 0) {
        size_t piece = std::min<size_t>(size, std::numeric_limits<uInt>::max());
        stream_.next_in = const_cast<unsigned char*>(data);
        stream_.avail_in = static_cast<uInt>(piece);
        if (!inflatePiece(errorText)) {
            return false;
        }
        data += piece;
        size -= piece;
    }
    return true;
}

bool InflatingSink::inflatePiece(std::wstring& errorText)
{
    do {
        if (ended_) {
            // Bytes after the end of the stream belong to no file.
            return stream_.avail_in == 0 || fail(kDamaged, errorText);
        }
        stream_.next_out = out_.data();
        stream_.avail_out = static_cast<uInt>(out_.size());
        int result = inflate(&stream_, Z_NO_FLUSH);
        if (result == Z_BUF_ERROR) {
            return true;  // nothing more to do until the next piece arrives
        }
        if (result != Z_OK && result != Z_STREAM_END) {
            return fail(kDamaged, errorText);
        }
        size_t produced = out_.size() - stream_.avail_out;
        if (produced > expectedSize_ - inflated_) {
            return fail(kTooLong, errorText);
        }
        inflated_ += produced;
        ended_ = result == Z_STREAM_END;
        if (produced > 0 && !target_.write(out_.data(), produced, errorText)) {
            return false;
        }
    } while (stream_.avail_in > 0 || stream_.avail_out == 0);
    return true;
}

bool InflatingSink::finish(std::wstring& errorText)
{
    if (!ended_) {
        return fail(kDamaged, errorText);
    }
    return inflated_ == expectedSize_ || fail(kTooShort, errorText);
}

bool inflateFileInto(const std::wstring& path, BodySink& target, uint64_t expectedSize, uint64_t compressedSize,
                     const std::wstring& name, std::wstring& errorText)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        errorText = L"Nie udało się odczytać pliku: " + path + L". " + formatSystemError(GetLastError());
        return false;
    }
    InflatingSink inflater(target, expectedSize, compressedSize, name);
    std::vector<unsigned char> in(kOutputPiece);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), in.data(), static_cast<DWORD>(in.size()), &read, nullptr)) {
            errorText = L"Nie udało się odczytać pliku: " + path + L". " + formatSystemError(GetLastError());
            return false;
        }
        if (read == 0) {
            return inflater.finish(errorText);
        }
        if (!inflater.write(in.data(), read, errorText)) {
            return false;
        }
    }
}

}  // namespace ovan
