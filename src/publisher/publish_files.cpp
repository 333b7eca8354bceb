#include "publisher/publish_files.h"

#include "common/scoped_handle.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace ovan {

bool readFileBytes(const std::wstring& path, ByteBuffer& bytes)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in) {
        return false;
    }
    ByteBuffer read((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return false;
    }
    bytes = read;
    return true;
}

bool writeFileBytes(const std::wstring& path, const std::string& bytes, bool replace)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, replace ? CREATE_ALWAYS : CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

}  // namespace ovan
