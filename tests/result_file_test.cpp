// The result file written as the outcome arrives: line ends, replacement of what came
// before, failures held until the commit, and the excerpt for the log.

#include "exec/result_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "support/host_process.h"

namespace vantrel::test {
namespace {

class ResultFileWriterTest : public testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }

    utf16_string path(const std::string& name) const { return utf16(dir + "/" + name); }

    int temporaries() const { return static_cast<int>(temporary_files(dir).size()); }

    std::string dir;
};

TEST_F(ResultFileWriterTest, LineFeedsBecomeCrLfWhereverThePiecesSplit) {
    const utf16_string target = path("out.txt");
    ResultFileWriter writer(target);
    for (const char* piece : {"a\nb", "\n", "\n", "c;", "", "d\n\ne"}) writer.append(std::string(piece));
    writer.commit();
    EXPECT_EQ(read_file(dir + "/out.txt"), "a\r\nb\r\n\r\nc;d\r\n\r\ne");
    EXPECT_EQ(temporaries(), 0);
}

TEST_F(ResultFileWriterTest, ClearDropsTheWrittenPartAndItsTemporaryFile) {
    const utf16_string target = path("out.txt");
    ResultFileWriter writer(target);
    writer.append(std::string(200000, 'r'));  // past the buffer: on disk already, under no name
    EXPECT_FALSE(std::filesystem::exists(dir + "/out.txt"));
    writer.clear();
    EXPECT_EQ(temporaries(), 0);
    writer.append(std::string("ERROR:  division by zero\n"));
    writer.commit();
    EXPECT_EQ(read_file(dir + "/out.txt"), "ERROR:  division by zero\r\n");
}

TEST_F(ResultFileWriterTest, EmptyOutcomeReplacesTheOldFile) {
    std::ofstream(dir + "/out.txt") << "old content";
    const utf16_string target = path("out.txt");
    ResultFileWriter writer(target);
    writer.append(std::string());
    writer.commit();
    EXPECT_EQ(read_file(dir + "/out.txt"), "");
}

TEST_F(ResultFileWriterTest, FailureIsHeldUntilTheCommit) {
    const utf16_string target = path("missing-dir/out.txt");
    ResultFileWriter writer(target);
    EXPECT_NO_THROW(writer.append(std::string("rows")));
    EXPECT_NO_THROW(writer.append(std::string("more")));
    EXPECT_THROW(writer.commit(), std::system_error);
}

TEST_F(ResultFileWriterTest, UncommittedWriterLeavesTheOldFileAndNoTemporary) {
    std::ofstream(dir + "/out.txt") << "old content";
    {
        const utf16_string target = path("out.txt");
        ResultFileWriter writer(target);
        writer.append(std::string("new"));
    }
    EXPECT_EQ(read_file(dir + "/out.txt"), "old content");
    EXPECT_EQ(temporaries(), 0);
}

TEST_F(ResultFileWriterTest, ExcerptIsTheFirst1024BytesOfTheOutcome) {
    const utf16_string target = path("out.txt");
    ResultFileWriter exact(target);
    exact.append(std::string(1000, 'x'));
    exact.append(std::string(24, '\n'));
    EXPECT_EQ(exact.excerpt(), std::string(1000, 'x') + std::string(24, '\n'));

    ResultFileWriter over(target);
    over.append(std::string(1000, 'y'));
    over.append(std::string(25, 'z'));
    EXPECT_EQ(over.excerpt(), std::string(1000, 'y') + std::string(24, 'z') + "...");

    over.clear();
    over.append(std::string("ERROR"));
    EXPECT_EQ(over.excerpt(), "ERROR");
}

}  // namespace
}  // namespace vantrel::test
