// Every way a Linux result file reaches its path, each one taken on purpose: the calls a file
// system or folder of this machine would not fail are failed by the test (support/failing_calls),
// so no root and no special mount is needed. Root's own rows are in the security test's path table.

#include "platform/replacement_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "support/failing_calls.h"
#include "support/files.h"
#include "support/host_process.h"
#include "support/utf16_text.h"

namespace vantrel::test {
namespace {

ino_t inode_of(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

mode_t mode_of(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::string attribute_of(const std::string& path, const char* name) {
    char value[256];
    const ssize_t size = ::getxattr(path.c_str(), name, value, sizeof value);
    return size < 0 ? "<none: " + std::string(std::strerror(errno)) + ">" : std::string(value, size);
}

// An access ACL that gives user 4242 read and write: the kernel's own format for it.
std::string acl_for_user_4242() {
    struct Entry {
        std::uint16_t tag;
        std::uint16_t permissions;
        std::uint32_t id;
    };
    const std::uint32_t version = 2;
    const Entry entries[] = {{0x01, 6, ~0u}, {0x02, 6, 4242}, {0x04, 4, ~0u}, {0x10, 6, ~0u}, {0x20, 0, ~0u}};
    std::string acl(reinterpret_cast<const char*>(&version), sizeof version);
    acl.append(reinterpret_cast<const char*>(entries), sizeof entries);
    return acl;
}

void write_old(const std::string& path, mode_t mode = 0640) {
    std::ofstream(path) << "old content, longer than any outcome here";
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

class LinuxReplacementFile : public testing::Test {
protected:
    std::string dir = make_temp_dir();
    std::string target = dir + "/out.txt";
    std::u16string path = utf16(target);

    void write_and_commit(const std::string& outcome) { write_and_commit(outcome, target); }
    static void write_and_commit(const std::string& outcome, const std::string& at) {
        ReplacementFile file(utf16(at));
        file.write(outcome.data(), outcome.size());
        file.commit();
    }
};

TEST_F(LinuxReplacementFile, FreeNameGetsTheUnnamedFileWhenComplete) {
    ReplacementFile file(path);
    file.write("rows", 4);
    EXPECT_FALSE(file_exists(target)) << "visible before it was complete";
    EXPECT_TRUE(temporary_files(dir).empty()) << "an unnamed file has no name to see";
    file.commit();
    EXPECT_EQ(read_file(target), "rows");
    EXPECT_EQ(mode_of(target), 0666 & ~[] { const mode_t m = ::umask(0); ::umask(m); return m; }());
}

TEST_F(LinuxReplacementFile, FreeNameWithoutUnnamedFilesIsMovedInWithoutReplacing) {
    const FailingCall no_unnamed(Call::unnamed_file, EOPNOTSUPP);
    ReplacementFile file(path);
    file.write("rows", 4);
    EXPECT_FALSE(file_exists(target));
    EXPECT_EQ(temporary_files(dir).size(), 1u);
    file.commit();
    EXPECT_EQ(read_file(target), "rows");
    EXPECT_TRUE(temporary_files(dir).empty());
    EXPECT_EQ(no_unnamed.failed(), 1);
}

// A name that appears while the outcome is written is the kernel's to open: written in place,
// never moved over, also where the file system cannot promise a move that does not replace.
TEST_F(LinuxReplacementFile, NameTakenMeanwhileIsWrittenInPlaceNeverReplaced) {
    for (const bool can_promise : {true, false}) {
        SCOPED_TRACE(can_promise ? "RENAME_NOREPLACE works" : "RENAME_NOREPLACE refused with EINVAL");
        const FailingCall no_unnamed(Call::unnamed_file, EOPNOTSUPP);
        const FailingCall no_promise(Call::rename_noreplace, can_promise ? 0 : EINVAL);
        ::unlink(target.c_str());
        ReplacementFile file(path);
        file.write("rows", 4);
        write_old(target);
        const ino_t appeared = inode_of(target);
        file.commit();
        EXPECT_EQ(inode_of(target), appeared) << "the file that appeared was replaced";
        EXPECT_EQ(read_file(target), "rows");
        EXPECT_TRUE(temporary_files(dir).empty());
    }
}

// A free name the file system cannot promise: the kernel's open creates it.
TEST_F(LinuxReplacementFile, FreeNameWhereNoMovePromisesItFreeIsCreatedByTheOpen) {
    const FailingCall no_unnamed(Call::unnamed_file, EOPNOTSUPP);
    const FailingCall no_promise(Call::rename_noreplace, EINVAL);
    write_and_commit("rows");
    EXPECT_EQ(read_file(target), "rows");
    EXPECT_TRUE(temporary_files(dir).empty());
    EXPECT_EQ(no_promise.failed(), 1);
}

// The replacement is another file with the old one's identity: mode, user attribute and ACL.
TEST_F(LinuxReplacementFile, ExistingFileIsReplacedWithItsIdentity) {
    struct Case {
        const char* way;
        Call failing;
        int error;
    };
    const Case cases[] = {
        {"unnamed file named beside it", Call::unnamed_file, 0},
        {"unnamed file copied beside it", Call::link, EXDEV},
        {"temporary file from the start", Call::unnamed_file, EOPNOTSUPP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.way);
        write_old(target, 0640);
        ASSERT_EQ(::setxattr(target.c_str(), "user.origin", "host", 4, 0), 0) << std::strerror(errno);
        const std::string acl = acl_for_user_4242();
        ASSERT_EQ(::setxattr(target.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0)
            << std::strerror(errno);
        const mode_t mode = mode_of(target);
        const ino_t before = inode_of(target);
        {
            const FailingCall failing(c.failing, c.error);
            ReplacementFile file(path);
            file.write("rows", 4);
            EXPECT_EQ(read_file(target), "old content, longer than any outcome here");
            file.commit();
            if (c.error != 0) {
                EXPECT_GT(failing.failed(), 0);
            }
        }
        EXPECT_NE(inode_of(target), before) << "written in place";
        EXPECT_EQ(read_file(target), "rows");
        EXPECT_EQ(mode_of(target), mode);
        EXPECT_EQ(attribute_of(target, "user.origin"), "host");
        EXPECT_EQ(attribute_of(target, "system.posix_acl_access"), acl);
        EXPECT_TRUE(temporary_files(dir).empty());
    }
}

// Whatever a replacement cannot keep, or the folder does not allow, is written in place.
TEST_F(LinuxReplacementFile, WhatCannotBeReplacedIsWrittenInPlace) {
    struct Case {
        const char* why;
        Call failing;
        int error;
        bool hard_link;
    };
    const Case cases[] = {
        {"a second hard link", Call::unnamed_file, 0, true},
        {"an owner that cannot be given", Call::change_owner, EPERM, false},
        {"an attribute that cannot be given", Call::set_attribute, EPERM, false},
        {"a folder that refuses the move", Call::rename_replace, EPERM, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        ::unlink((dir + "/other").c_str());
        write_old(target, 0600);
        ASSERT_EQ(::setxattr(target.c_str(), "user.origin", "host", 4, 0), 0);
        if (c.hard_link) {
            ASSERT_EQ(::link(target.c_str(), (dir + "/other").c_str()), 0);
        }
        const ino_t before = inode_of(target);
        {
            const FailingCall failing(c.failing, c.error);
            write_and_commit("rows");
            if (c.error != 0) {
                EXPECT_GT(failing.failed(), 0);
            }
        }
        EXPECT_EQ(inode_of(target), before);
        EXPECT_EQ(read_file(target), "rows");
        EXPECT_EQ(mode_of(target), 0600u);
        EXPECT_TRUE(temporary_files(dir).empty());
    }
}

// A folder that takes no new file: the kernel opens the file, which is truncated and written.
TEST_F(LinuxReplacementFile, FolderThatTakesNoFileIsWrittenInPlaceAsItStreams) {
    write_old(target);
    const ino_t before = inode_of(target);
    const FailingCall no_unnamed(Call::unnamed_file, EACCES);
    const FailingCall no_create(Call::exclusive_create, EACCES);
    ReplacementFile file(path);
    EXPECT_EQ(read_file(target), "") << "truncated as the plain open truncates";
    const std::string rows(100000, 'r');
    file.write(rows.data(), rows.size());
    EXPECT_EQ(read_file(target), rows) << "not streamed in place";
    file.restart();
    file.write("ERROR", 5);
    file.commit();
    EXPECT_EQ(inode_of(target), before);
    EXPECT_EQ(read_file(target), "ERROR");
}

// The name no longer leads to the file the kernel opened: that file gets the outcome, as the
// plain open's descriptor would write it, and nothing is moved over what stands there now.
TEST_F(LinuxReplacementFile, FileMovedAwayMeanwhileIsWrittenWhereItIsNow) {
    write_old(target);
    const FailingCall no_unnamed(Call::unnamed_file, EOPNOTSUPP);
    ReplacementFile file(path);
    file.write("rows", 4);
    ASSERT_EQ(::rename(target.c_str(), (dir + "/moved").c_str()), 0);
    file.commit();
    EXPECT_EQ(read_file(dir + "/moved"), "rows");
    EXPECT_FALSE(file_exists(target));
    EXPECT_TRUE(temporary_files(dir).empty());
}

// An outcome that starts again reaches its reader once, whichever way it takes.
TEST_F(LinuxReplacementFile, RestartedOutcomeArrivesOnceOnEveryWay) {
    const std::string rows(100000, 'r');  // past the buffer: already in the file
    for (const int unnamed : {0, EOPNOTSUPP}) {
        for (const bool existing : {false, true}) {
            SCOPED_TRACE(std::string(unnamed ? "temporary file" : "unnamed file") + (existing ? ", replace" : ", new"));
            ::unlink(target.c_str());
            if (existing) write_old(target);
            const FailingCall failing(Call::unnamed_file, unnamed);
            ReplacementFile file(path);
            file.write(rows.data(), rows.size());
            file.restart();
            file.write("ERROR", 5);
            file.commit();
            EXPECT_EQ(read_file(target), "ERROR");
            EXPECT_TRUE(temporary_files(dir).empty());
        }
    }
}

// A FIFO takes no bytes back: its reader gets the last outcome alone, once.
TEST_F(LinuxReplacementFile, FifoReaderGetsOnlyTheLastOutcome) {
    ASSERT_EQ(::mkfifo(target.c_str(), 0600), 0);
    const int reader = ::open(target.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    for (const int unnamed : {0, EACCES}) {
        SCOPED_TRACE(unnamed ? "no staging file" : "staged in an unnamed file");
        const FailingCall no_unnamed(Call::unnamed_file, unnamed);
        ReplacementFile file(path);
        const std::string rows(30000, 'r');  // fits the pipe, past nothing else
        file.write(rows.data(), rows.size());
        file.write(rows.data(), rows.size());
        file.restart();
        file.write("ERROR", 5);
        file.commit();
        char got[100000];
        const ssize_t size = ::read(reader, got, sizeof got);
        EXPECT_EQ(std::string(got, size > 0 ? size : 0), "ERROR");
    }
    ::close(reader);
}

TEST_F(LinuxReplacementFile, RefusedOpenLeavesTheOldFile) {
    write_old(target, 0644);
    ::mkdir((dir + "/folder").c_str(), 0755);
    for (const std::string& refused : {dir + "/folder", dir + "/missing/out.txt"}) {
        SCOPED_TRACE(refused);
        EXPECT_THROW(write_and_commit("rows", refused), std::system_error);
    }
    {
        ReplacementFile uncommitted(path);
        uncommitted.write("rows", 4);
    }
    EXPECT_EQ(read_file(target), "old content, longer than any outcome here");
    EXPECT_TRUE(temporary_files(dir).empty());
}

}  // namespace
}  // namespace vantrel::test
