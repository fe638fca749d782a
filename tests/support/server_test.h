#pragma once
// The fixture of tests that need the throwaway server and a folder of their own for result
// files, on Linux and Windows alike; it skips the test when no server was set up (a stage
// fails on a skip). Paths are UTF-8 with '/' between folders; file() gives the text a host
// passes, with the platform's own separator.

#include <gtest/gtest.h>

#include <string>

#include "support/host_files.h"
#include "support/host_library.h"
#include "support/test_server.h"
#if !defined(_WIN32)
#include "support/host_process.h"
#include "support/pg_server.h"
#endif

namespace vantrel::test {

class ServerTest : public testing::Test {
protected:
    void SetUp() override {
        conninfo = test_conninfo();
        if (conninfo.empty()) GTEST_SKIP() << "no test server: set VANTREL_TEST_CONNINFO or VANTREL_TEST_PG_DIR";
        host_dir = make_temp_folder();
        dir = utf8(host_dir.substr(0, host_dir.size() - 1));
    }
    void TearDown() override {
        if (!HasFailure() && !host_dir.empty()) remove_tree(host_dir);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    // The path as a host passes it.
    Text file(const std::string& name) const { return host_dir + native(text(name)); }
    // The run's folder and the server, as a scenario's first two arguments.
    Args args() const { return {host_dir, text(conninfo)}; }
    std::string content(const std::string& name) const { return read_file(file(name)); }
    bool exists(const std::string& name) const { return file_exists(file(name)); }

    std::string conninfo;
    std::string dir;  // no separator at the end
    Text host_dir;    // dir, with the separator at the end

private:
    static Text native(Text name) {
        for (vantrel_char& c : name) {
            if (c == VANTREL_TEXT('/')) c = separator[0];
        }
        return name;
    }
};

}  // namespace vantrel::test
