#pragma once

#include <windows.h>

#include <utility>

namespace ovan {

// Owns one platform resource and releases it exactly once, on every path.
// Traits supply the empty value and the release call.
template <typename Traits>
class Scoped {
public:
    using Value = typename Traits::Value;

    Scoped() = default;
    explicit Scoped(Value value) : value_(value) {}
    ~Scoped() { reset(); }

    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    Scoped(Scoped&& other) noexcept : value_(std::exchange(other.value_, Traits::empty())) {}
    Scoped& operator=(Scoped&& other) noexcept
    {
        if (this != &other) {
            reset();
            value_ = std::exchange(other.value_, Traits::empty());
        }
        return *this;
    }

    Value get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::empty(); }

    void reset(Value value = Traits::empty())
    {
        if (value_ != Traits::empty()) {
            Traits::release(value_);
        }
        value_ = value;
    }

private:
    Value value_ = Traits::empty();
};

struct KernelHandleTraits {
    using Value = HANDLE;
    static Value empty() { return nullptr; }
    static void release(Value value) { CloseHandle(value); }
};

// File handles use INVALID_HANDLE_VALUE, not null, for "none".
struct FileHandleTraits {
    using Value = HANDLE;
    static Value empty() { return INVALID_HANDLE_VALUE; }
    static void release(Value value) { CloseHandle(value); }
};

struct LocalMemoryTraits {
    using Value = HLOCAL;
    static Value empty() { return nullptr; }
    static void release(Value value) { LocalFree(value); }
};

// What the platform hands out with GlobalAlloc, such as WinHTTP's proxy strings.
struct GlobalMemoryTraits {
    using Value = HGLOBAL;
    static Value empty() { return nullptr; }
    static void release(Value value) { GlobalFree(value); }
};

struct FindTraits {
    using Value = HANDLE;
    static Value empty() { return INVALID_HANDLE_VALUE; }
    static void release(Value value) { FindClose(value); }
};

using KernelHandle = Scoped<KernelHandleTraits>;
using FileHandle = Scoped<FileHandleTraits>;
using LocalMemory = Scoped<LocalMemoryTraits>;
using GlobalMemory = Scoped<GlobalMemoryTraits>;
using FindHandle = Scoped<FindTraits>;

}  // namespace ovan
