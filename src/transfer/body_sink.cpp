#include "transfer/body_sink.h"

#include "common/memory_guard.h"

namespace ovan {

BufferSink::BufferSink(ByteBuffer& bytes, std::wstring address) : bytes_(bytes), address_(std::move(address)) {}

bool BufferSink::expect(uint64_t length, std::wstring& errorText)
{
    if (length > bytes_.max_size()) {
        return failForMemory(errorText);
    }
    // A reserve that fails is only a lost hint: the body may still fit while it grows.
    withinMemory([&] { bytes_.reserve(static_cast<size_t>(length)); });
    return true;
}

bool BufferSink::write(const unsigned char* data, size_t size, std::wstring& errorText)
{
    return withinMemory([&] { bytes_.insert(bytes_.end(), data, data + size); }) || failForMemory(errorText);
}

bool BufferSink::failForMemory(std::wstring& errorText) const
{
    errorText = L"Za mało pamięci, aby pobrać " + address_;
    return false;
}

}  // namespace ovan
