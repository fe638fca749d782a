#pragma once
// Each statement form and the bytes a host then finds in its result file, for the host suites
// of both systems. Texts are UTF-8; each harness converts them to its own character type. The
// files lie side by side in one folder of the run.

#include <cstdint>

namespace vantrel::test {

struct OutcomeCase {
    const char* file;
    const char* sep;  // nullptr: the task goes through cVantrelExec
    const char* sql;
    std::int32_t time;
    const char* expected;
    bool whole;  // false: expected is only the beginning of the file
};

inline constexpr OutcomeCase outcome_cases[] = {
    {"rows.txt", ";", "select 1, 'a' union all select 2, 'b' order by 1", 30, "1;a\r\n2;b", true},
    {"exec.txt", nullptr, "create temporary table scratch(x int)", 30, "TRUE", true},
    {"error.txt", ";", "select * from no_such_table", 30,
     "ERROR:  relation \"no_such_table\" does not exist\r\n", false},
    {"exec-error.txt", nullptr, "drop table no_such_table", 30,
     "ERROR:  table \"no_such_table\" does not exist", false},
    {"timeout.txt", ";", "select 1", -1, "ERROR: Failed to set timeout: ERROR:  ", false},
    {"empty.txt", ";", "select 1 where false", 30, "", true},
    {"null-and-wide-sep.txt", " | ", "select 'x', null, 'y'", 30, "x |  | y", true},
    {"cr-in-value.txt", ";", "select E'a\\r\\nb'", 30, "a\r\r\nb", true},
    // Cyrillic and U+1F600, a surrogate pair in UTF-16, in the statement and in a file name.
    {"text.txt", ";", "select '\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xf0\x9f\x98\x80'", 30,
     "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xf0\x9f\x98\x80", true},
    {"\xd0\xb6\xd1\x83\xd0\xba-\xf0\x9f\x98\x80.csv", ";", "select 'exotic'", 30, "exotic", true},
};

}  // namespace vantrel::test
