#pragma once
// A fixture for tests that need the throwaway server and a folder of their own for result
// files; it skips the test when no server was set up.

#include <gtest/gtest.h>

#include <string>

#include "support/host_process.h"
#include "support/pg_server.h"

namespace vantrel::test {

class ServerTest : public testing::Test {
protected:
    void SetUp() override {
        conninfo = test_conninfo();
        if (conninfo.empty()) GTEST_SKIP() << "no test server";
        dir = make_temp_dir();
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    std::string conninfo;
    std::string dir;
};

}  // namespace vantrel::test
