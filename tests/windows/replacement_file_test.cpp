// The Windows ReplacementFile, driven directly: whole content, replacement of what stands at
// the path measured against a plain _wfopen of a twin, and readable failures.

#include "platform/replacement_file.h"

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

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

// No handle is held on the target by another holder.
constexpr DWORD not_held = ~DWORD{0};

// What stands at a path, and what a plain _wfopen(path, L"w") and write by the same process
// makes of it. The library must write where that open writes, be refused where it is refused,
// and leave the same thing behind.
struct PathCase {
    const char* name;
    bool plain_writes;      // the plain open's result on Windows
    bool modelled_by_wine;  // whether Wine gives that result too
    const wchar_t* leaf;    // the name written, in the row's folder
    void (*set_up)(const std::wstring& folder);
    DWORD held_share = not_held;  // share mode of a read handle another holder keeps on out.txt
    bool held_locks_start = false;  // the holder also locks the file's first byte
    // When set, the row's folder lies in a folder named so that the library side's path is
    // this long.
    std::size_t path_length = 0;
    // The write runs in a child process that exits before the commit, as the exit of a host
    // that never stopped the library ends a worker.
    bool exits_before_commit = false;
    const char* refused_with = "CreateFileW: ";  // how the library's failure begins
};

void old_file(const std::wstring& folder) { write_file(folder + L"out.txt", pattern(300)); }

void old_file_with(const std::wstring& folder, DWORD attributes) {
    old_file(folder);
    ASSERT_TRUE(SetFileAttributesW((folder + L"out.txt").c_str(), attributes));
}

// A security descriptor that lets everyone do anything to the file but write it.
void deny_write(const std::wstring& folder) {
    old_file(folder);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(D;;FW;;;WD)(A;;FA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
    const BOOL set = SetFileSecurityW((folder + L"out.txt").c_str(), DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    ASSERT_TRUE(set);
}

const PathCase path_cases[] = {
    {"New", true, true, L"out.txt", [](const std::wstring&) {}},
    {"Existing", true, true, L"out.txt", old_file},
    // Wine run as root writes a read-only file, as the Linux root it runs as would.
    {"ReadOnly", false, false, L"out.txt",
     [](const std::wstring& folder) {
         old_file(folder);
         ASSERT_TRUE(SetFileAttributesW((folder + L"out.txt").c_str(), FILE_ATTRIBUTE_READONLY));
     }},
    // Wine keeps no ACLs on files: there the plain open writes, and so must the library.
    {"AclWithoutWrite", false, false, L"out.txt", deny_write},
    {"Folder", false, true, L"out.txt",
     [](const std::wstring& folder) { ASSERT_TRUE(CreateDirectoryW((folder + L"out.txt").c_str(), nullptr)); }},
    // Other names of the file get the outcome too: it is written in place.
    {"HardLink", true, true, L"out.txt",
     [](const std::wstring& folder) {
         old_file(folder);
         ASSERT_TRUE(CreateHardLinkW((folder + L"other.txt").c_str(), (folder + L"out.txt").c_str(), nullptr));
     }},
    // A stream of a file is written in place, never through a temporary file in a stream.
    {"Stream", true, false, L"out.txt:stream", old_file},
    {"HeldShareAll", true, true, L"out.txt", old_file, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
    // The holder refuses the replacement but not the plain open: written in place.
    {"HeldShareReadWrite", true, true, L"out.txt", old_file, FILE_SHARE_READ | FILE_SHARE_WRITE},
    {"HeldShareRead", false, true, L"out.txt", old_file, FILE_SHARE_READ},
    {"HeldShareNothing", false, true, L"out.txt", old_file, 0},
    // The plain open (CREATE_ALWAYS) refuses an existing hidden or system file. Wine's does
    // not, and keeps the attribute on the file it writes.
    {"Hidden", false, false, L"out.txt", [](const std::wstring& folder) { old_file_with(folder, FILE_ATTRIBUTE_HIDDEN); }},
    {"System", false, false, L"out.txt", [](const std::wstring& folder) { old_file_with(folder, FILE_ATTRIBUTE_SYSTEM); }},
    {"HiddenHardLink", false, false, L"out.txt",
     [](const std::wstring& folder) {
         old_file_with(folder, FILE_ATTRIBUTE_HIDDEN);
         ASSERT_TRUE(CreateHardLinkW((folder + L"other.txt").c_str(), (folder + L"out.txt").c_str(), nullptr));
     }},
    // A path just under MAX_PATH, whose temporary file's name beside it would pass it. Wine
    // has no MAX_PATH limit: there both always write.
    {"NewNearMaxPath", true, true, L"out.txt", [](const std::wstring&) {}, not_held, false, MAX_PATH - 10},
    {"ExistingNearMaxPath", true, true, L"out.txt", old_file, not_held, false, MAX_PATH - 10},
    // Written in place (the holder refuses the replacement), where a write fails at the first
    // byte: the plain open has truncated the file by then, and so must the library. Wine does
    // not apply byte-range locks to writes: there both write.
    {"HeldLockedWrittenInPlace", false, false, L"out.txt", old_file, FILE_SHARE_READ | FILE_SHARE_WRITE, true,
     0, false, "ReplaceFileW refused ("},
    // Ended by the exit before the outcome was complete: what stood at the path stays, and no
    // temporary file is left in the host's folder. The plain twin is not run: its open has
    // truncated the file long before, which is what the library is there to avoid.
    {"NewExitBeforeCommit", true, true, L"out.txt", [](const std::wstring&) {}, not_held, false, 0, true},
    {"ExistingExitBeforeCommit", true, true, L"out.txt", old_file, not_held, false, 0, true},
};

using Holder = std::unique_ptr<void, decltype(&CloseHandle)>;

Holder hold(const PathCase& c, const std::wstring& folder) {
    if (c.held_share == not_held) return Holder(nullptr, &CloseHandle);
    Holder holder(CreateFileW((folder + L"out.txt").c_str(), GENERIC_READ, c.held_share, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                  &CloseHandle);
    OVERLAPPED first_byte{};
    if (c.held_locks_start && holder.get() != INVALID_HANDLE_VALUE &&
        !LockFileEx(holder.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &first_byte)) {
        ADD_FAILURE() << "LockFileEx: " << windows_error_text(GetLastError());
    }
    return holder;
}

// Every name in a folder with its attributes that a host sees and its content, and the
// content reached through the row's own name.
std::map<std::wstring, std::string> snapshot(const std::wstring& folder, const wchar_t* leaf) {
    constexpr DWORD seen = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_DIRECTORY;
    std::map<std::wstring, std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(folder))) {
        const std::wstring at = entry.path().wstring();
        const DWORD attributes = GetFileAttributesW(at.c_str());
        std::string text = "attributes " + std::to_string(attributes & seen);
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) text += " content '" + read_file(at) + "'";
        found[entry.path().filename().wstring()] = text;
    }
    found[std::wstring(L"through ") + leaf] = read_file(folder + leaf);
    return found;
}

// The folder a row's files are in on one side: the side itself, or a folder in it whose name
// makes the path written the row's length.
std::wstring row_folder(const PathCase& c, const std::wstring& side) {
    if (c.path_length == 0) return side;
    const std::size_t used = side.size() + 1 + std::wcslen(c.leaf);
    if (used >= c.path_length) throw std::runtime_error("the test's folder is too long for the row");
    const std::wstring folder = side + std::wstring(c.path_length - used, L'p') + L"\\";
    if (!CreateDirectoryW(folder.c_str(), nullptr)) throw std::runtime_error("cannot create the row's folder");
    return folder;
}

// The outcome written on a thread of its own, and the process ended by its exit while that
// thread still holds the file uncommitted.
VANTREL_SCENARIO(exit_before_commit) {
    const HANDLE written = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread([path = args.at(0), written] {
        ReplacementFile file(path);
        file.write("TRUE", 4);
        SetEvent(written);
        Sleep(INFINITE);
    }).detach();
    return WaitForSingleObject(written, INFINITE) == WAIT_OBJECT_0 ? 0 : 1;
}

class PathTable : public ReplacementFileTest, public testing::WithParamInterface<PathCase> {
protected:
    // What the library makes of the row's path: empty, or the error it failed with.
    static std::string library_writes(const std::wstring& path) {
        try {
            ReplacementFile file(path);
            file.write("TRUE", 4);
            file.commit();
        } catch (const std::system_error& error) {
            return error.what();
        }
        return std::string();
    }

    // Whether a plain _wfopen(path, L"w") and write succeed.
    static bool plain_writes(const std::wstring& path) {
        FILE* plain = _wfopen(path.c_str(), L"w");
        if (plain == nullptr) return false;
        const bool written = std::fputs("TRUE", plain) >= 0;
        return std::fclose(plain) == 0 && written;
    }
};

INSTANTIATE_TEST_SUITE_P(Rows, PathTable, testing::ValuesIn(path_cases),
                         [](const testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

TEST_P(PathTable, LibraryWritesExactlyWhereAPlainOpenWould) {
    const PathCase& c = GetParam();
    std::wstring library_side = path(L"library\\");
    std::wstring plain_side = path(L"plain\\");
    for (std::wstring* side : {&library_side, &plain_side}) {
        ASSERT_TRUE(CreateDirectoryW(side->c_str(), nullptr));
        *side = row_folder(c, *side);
        c.set_up(*side);
    }
    if (c.exits_before_commit) {
        const auto before = snapshot(library_side, c.leaf);
        const HostRun run = run_scenario("exit_before_commit", {library_side + c.leaf});
        EXPECT_EQ(run.exit_code, 0) << run.output;
        EXPECT_EQ(snapshot(library_side, c.leaf), before);
        EXPECT_TRUE(names_starting_with(library_side, L".vantrel-").empty());
        return;
    }
    std::string failure;
    bool plain_wrote = false;
    {
        const Holder library_holder = hold(c, library_side);
        const Holder plain_holder = hold(c, plain_side);
        ASSERT_NE(library_holder.get(), INVALID_HANDLE_VALUE);
        ASSERT_NE(plain_holder.get(), INVALID_HANDLE_VALUE);
        failure = library_writes(library_side + c.leaf);
        plain_wrote = plain_writes(plain_side + c.leaf);
    }
    if (c.modelled_by_wine || !running_under_wine()) {
        EXPECT_EQ(plain_wrote, c.plain_writes);
    }
    EXPECT_EQ(failure.empty(), plain_wrote) << failure;
    // Refused where the plain open or write fails, with the system's words.
    if (!plain_wrote) {
        EXPECT_EQ(failure.rfind(c.refused_with, 0), 0u) << failure;
    }
    EXPECT_EQ(snapshot(library_side, c.leaf), snapshot(plain_side, c.leaf));
    EXPECT_TRUE(names_starting_with(library_side, L".vantrel-").empty());
    EXPECT_TRUE(no_temporary_left());
    for (const std::wstring& side : {library_side, plain_side}) {
        SetFileAttributesW((side + L"out.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
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
