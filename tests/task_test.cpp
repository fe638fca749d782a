#include "task/task.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vantrel {
namespace {

Task make(std::string query, utf16_string path, std::string sep, std::int32_t time, bool drop) {
    Task task;
    task.conninfo = "host=127.0.0.1 user=reader password=Hunter2Secret";
    task.query = std::move(query);
    task.path = std::move(path);
    task.sep = std::move(sep);
    task.time = time;
    task.drop = drop;
    return task;
}

TEST(TaskDescription, WorkedExampleByteForByte) {
    Task task = make("SELECT \"id\", note FROM item WHERE code LIKE 'A\\B'", u"C:\\out\\items.txt",
                     ";", 30, false);
    task.conninfo = "dbname=stock user=reader";
    EXPECT_EQ(task.describe(),
              "{\"query\":\"SELECT \\\"id\\\", note FROM item WHERE code LIKE 'A\\\\B'\", "
              "\"path\":\"C:\\\\out\\\\items.txt\", \"sep\":\";\", \"time\":\"30\", "
              "\"drop\":\"False\"}");
}

TEST(TaskDescription, ShowsEachMemberAsStored) {
    struct Case {
        Task task;
        std::string expected;
    } cases[] = {
        {make("", u"r.txt", "", 0, true),
         R"({"query":"", "path":"r.txt", "sep":"", "time":"0", "drop":"True"})"},
        {make("select 1\nselect\t2\r", u"a", ",", -5, false),
         "{\"query\":\"select 1\nselect\t2\r\", \"path\":\"a\", \"sep\":\",\", \"time\":\"-5\", "
         "\"drop\":\"False\"}"},
        {make("x", u"\u0444\u0430\u0439\u043b\U0001F600.txt", "\xe2\x82\xac", INT32_MIN, false),
         "{\"query\":\"x\", \"path\":\"\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb\xf0\x9f\x98\x80.txt\", "
         "\"sep\":\"\xe2\x82\xac\", \"time\":\"-2147483648\", \"drop\":\"False\"}"},
        {make("\"\\\"", u"\\\\srv\\\"q\"", "\\", 2147483647, true),
         R"({"query":"\"\\\"", "path":"\\\\srv\\\"q\"", "sep":"\\", "time":"2147483647", "drop":"True"})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.task.describe(), c.expected);
        EXPECT_EQ(c.task.describe().find("Hunter2Secret"), std::string::npos);
    }
}

// The worker logs the reason, "bad conversion", and goes on (worker_test).
TEST(TaskDescription, IllFormedPathIsRefusedAsABadConversion) {
    for (const utf16_string& path : {utf16_string{u'a', 0xD800, u'b'}, utf16_string{0xDC00}}) {
        const Task task = make("q", path, ";", 1, false);
        try {
            task.describe();
            ADD_FAILURE() << "described a path that is not UTF-16";
        } catch (const std::range_error& error) {
            EXPECT_STREQ(error.what(), "bad conversion");
        }
    }
}

}  // namespace
}  // namespace vantrel
