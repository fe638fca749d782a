// The Windows ReplacementFile, driven directly: whole content, replacement of what stands at
// the path, the in-place fallback for a target held open, and readable failures.

#include "platform/replacement_file.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/windows/windows_error.h"
#include "support/win_host.h"

namespace vantrel::wintest {
namespace {

class ReplacementFileTest : public testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }
    void TearDown() override {
        if (!HasFailure()) remove_tree(dir);
    }
    std::wstring path(const wchar_t* name) const { return dir + name; }
    bool no_temporary_left() const { return names_starting_with(dir, L".vantrel-").empty(); }

    std::wstring dir;
};

// A pattern that shows a lost, doubled or shifted piece.
std::string pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return text;
}

struct ContentCase {
    std::size_t size;
    std::size_t piece;  // written in pieces of this size
};

class WholeContent : public ReplacementFileTest, public testing::WithParamInterface<ContentCase> {};

// Around the 64 KiB buffer: empty, one byte, just under, at and over it, written in small
// pieces that fill the buffer and in pieces larger than it that bypass it.
INSTANTIATE_TEST_SUITE_P(Sizes, WholeContent,
                         testing::Values(ContentCase{0, 1}, ContentCase{1, 1},
                                         ContentCase{65535, 1000}, ContentCase{65536, 65536},
                                         ContentCase{65537, 4096}, ContentCase{300000, 70000},
                                         ContentCase{300000, 333}));

TEST_P(WholeContent, CommittedFileHoldsExactlyTheBytesWritten) {
    const ContentCase c = GetParam();
    const std::string content = pattern(c.size);
    ReplacementFile file(path(L"out.bin"));
    for (std::size_t at = 0; at < content.size(); at += c.piece) {
        file.write(content.data() + at, std::min(c.piece, content.size() - at));
    }
    file.commit();
    EXPECT_EQ(read_file(path(L"out.bin")), content);
    EXPECT_TRUE(no_temporary_left());
}

TEST_F(ReplacementFileTest, ExistingLongerFileIsReplacedWhole) {
    write_file(path(L"old.txt"), pattern(100000));
    ReplacementFile file(path(L"old.txt"));
    file.write("new", 3);
    file.commit();
    EXPECT_EQ(read_file(path(L"old.txt")), "new");
    EXPECT_TRUE(no_temporary_left());
}

// ReplaceFileW's own promise, so only where it is kept: Wine 8's ReplaceFileW is a plain
// rename (the hidden attribute is lost), and Wine sets no creation time on Linux.
TEST_F(ReplacementFileTest, ExistingFileKeepsItsAttributesAndCreationTime) {
    if (running_under_wine()) GTEST_SKIP() << "Wine's ReplaceFileW keeps no attributes";
    write_file(path(L"kept.txt"), "before");
    ASSERT_TRUE(SetFileAttributesW(path(L"kept.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
    const FILETIME created{0x12345600, 0x01D00000};  // in 2014
    {
        std::unique_ptr<void, decltype(&CloseHandle)> file(
            CreateFileW(path(L"kept.txt").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
            &CloseHandle);
        ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetFileTime(file.get(), &created, nullptr, nullptr));
    }
    ReplacementFile file(path(L"kept.txt"));
    file.write("after", 5);
    file.commit();
    EXPECT_EQ(read_file(path(L"kept.txt")), "after");
    WIN32_FILE_ATTRIBUTE_DATA now{};
    ASSERT_TRUE(GetFileAttributesExW(path(L"kept.txt").c_str(), GetFileExInfoStandard, &now));
    EXPECT_NE(now.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN, 0u) << now.dwFileAttributes;
    EXPECT_EQ(now.ftCreationTime.dwHighDateTime, created.dwHighDateTime);
    EXPECT_EQ(now.ftCreationTime.dwLowDateTime, created.dwLowDateTime);
    EXPECT_TRUE(no_temporary_left());
}

TEST_F(ReplacementFileTest, UncommittedFileLeavesTargetAsItWasAndNoTemporary) {
    write_file(path(L"keep.txt"), "before");
    {
        ReplacementFile file(path(L"keep.txt"));
        file.write(pattern(200000).data(), 200000);
        EXPECT_FALSE(no_temporary_left());
    }
    EXPECT_EQ(read_file(path(L"keep.txt")), "before");
    EXPECT_TRUE(no_temporary_left());
}

TEST_F(ReplacementFileTest, NameWithoutFolderGoesToTheCurrentFolder) {
    wchar_t previous[MAX_PATH + 1];
    GetCurrentDirectoryW(MAX_PATH + 1, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
    {
        ReplacementFile file(L"plain.txt");
        file.write("here", 4);
        file.commit();
    }
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(read_file(path(L"plain.txt")), "here");
    EXPECT_TRUE(no_temporary_left());
}

struct HeldCase {
    const char* name;
    DWORD share;           // share mode of the handle another holder keeps on the target
    bool replaced;         // the new content arrives
};

class HeldTarget : public ReplacementFileTest, public testing::WithParamInterface<HeldCase> {};

INSTANTIATE_TEST_SUITE_P(
    ShareModes, HeldTarget,
    testing::Values(HeldCase{"ShareAll", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
                    HeldCase{"ShareReadWrite", FILE_SHARE_READ | FILE_SHARE_WRITE, true},
                    HeldCase{"ShareRead", FILE_SHARE_READ, false},
                    HeldCase{"ShareNothing", 0, false}),
    [](const testing::TestParamInfo<HeldCase>& info) { return std::string(info.param.name); });

TEST_P(HeldTarget, NewContentArrivesUnlessTheHolderForbidsWriting) {
    const HeldCase c = GetParam();
    const std::string old = pattern(300);
    write_file(path(L"held.txt"), old);
    std::unique_ptr<void, decltype(&CloseHandle)> holder(
        CreateFileW(path(L"held.txt").c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr),
        &CloseHandle);
    ASSERT_NE(holder.get(), INVALID_HANDLE_VALUE);
    std::string failure;
    try {
        ReplacementFile file(path(L"held.txt"));
        file.write("fresh", 5);
        file.commit();
    } catch (const std::system_error& error) {
        failure = error.what();
    }
    holder.reset();
    EXPECT_EQ(read_file(path(L"held.txt")), c.replaced ? "fresh" : old);
    if (c.replaced) {
        EXPECT_EQ(failure, "");
    } else {
        // Both refusals are named: the rename's and the in-place write's.
        EXPECT_EQ(failure.rfind("ReplaceFileW refused (", 0), 0u) << failure;
        EXPECT_NE(failure.find("), writing in place: CreateFileW: "), std::string::npos) << failure;
    }
    EXPECT_TRUE(no_temporary_left());
}

TEST_F(ReplacementFileTest, MissingFolderFailsWithTheSystemsText) {
    try {
        ReplacementFile file(path(L"no-such-folder\\x.txt"));
        FAIL() << "no error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ERROR_PATH_NOT_FOUND);
        EXPECT_STREQ(error.code().category().name(), "windows");
        EXPECT_EQ(std::string(error.what()),
                  "CreateFileW: " + windows_error_text(ERROR_PATH_NOT_FOUND));
    }
}

TEST_F(ReplacementFileTest, UnpairedSurrogateInPathIsRefusedBeforeAnyFileIsMade) {
    std::wstring bad = path(L"x");
    bad += static_cast<wchar_t>(0xD800);
    EXPECT_THROW(ReplacementFile{bad}, std::range_error);
    EXPECT_TRUE(no_temporary_left());
}

// ---- The system's message text ----------------------------------------------------------

TEST(WindowsErrorText, IsTheSystemsOneLineMessage) {
    for (const DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED,
                             ERROR_SHARING_VIOLATION}) {
        const std::string text = windows_error_text(code);
        SCOPED_TRACE(text);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(text.find("Windows error"), std::string::npos);
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
        EXPECT_NE(text.back(), ' ');
    }
}

TEST(WindowsErrorText, UnknownCodeIsNamedByNumber) {
    EXPECT_EQ(windows_error_text(0x2FFFFFFF), "Windows error 805306367");
}

}  // namespace
}  // namespace vantrel::wintest

int main(int argc, char** argv) { return vantrel::wintest::test_main(argc, argv); }
