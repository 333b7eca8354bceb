#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// A fresh folder under the temp path for each test, removed with everything in it afterwards.
class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t base[MAX_PATH + 1] = {};
        ASSERT_NE(GetTempPathW(MAX_PATH + 1, base), 0u);
        static unsigned serial = 0;
        folder_ = std::wstring(base) + L"ovan-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++serial);
        ASSERT_TRUE(std::filesystem::create_directories(folder_));
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    std::wstring path(const std::wstring& name) const { return folder_ + L"\\" + name; }

    std::string readBytes(const std::wstring& name) const
    {
        std::ifstream in(std::filesystem::path(path(name)), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::wstring writeBytes(const std::wstring& name, const std::string& bytes) const
    {
        std::ofstream out(std::filesystem::path(path(name)), std::ios::binary | std::ios::trunc);
        out << bytes;
        return path(name);
    }

    std::wstring folder_;
};
