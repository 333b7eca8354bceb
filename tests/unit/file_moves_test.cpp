#include "common/file_moves.h"
#include "common/scoped_handle.h"
#include "temp_folder.h"

#include <chrono>
#include <thread>

namespace {

using ovan::moveReplacing;

class MoveReplacing : public TempFolderTest {};

// Another program holds the file for a moment: the move is tried again until it lets go.
TEST_F(MoveReplacing, WaitsOutAFileHeldForAMoment)
{
    std::wstring from = writeBytes(L"app.dll.new", "new");
    writeBytes(L"app.dll", "old");
    ovan::FileHandle holder(CreateFileW(path(L"app.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        holder.reset();
    });
    unsigned long code = 0;
    bool moved = moveReplacing(from, path(L"app.dll"), code);
    release.join();
    EXPECT_TRUE(moved) << code;
    EXPECT_EQ(readBytes(L"app.dll"), "new");
}

// Nothing to wait for: a missing file fails at once, even though it appears a moment later.
TEST_F(MoveReplacing, FailsAtOnceForAnyOtherReason)
{
    std::wstring from = path(L"app.dll.new");
    std::thread appear([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        writeBytes(L"app.dll.new", "new");
    });
    unsigned long code = 0;
    bool moved = moveReplacing(from, path(L"app.dll"), code);
    appear.join();
    EXPECT_FALSE(moved);
    EXPECT_EQ(code, static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(path(L"app.dll").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
