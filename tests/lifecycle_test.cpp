// The Linux load hook's loader notices, read from the library's objects linked into this
// program. What a host sees of the brackets on every build is in tests/host/lifecycle_test.cpp.

#include <gtest/gtest.h>

#include "api/loader_notice.h"
#include "support/host_process.h"
#include "vantrel.h"

namespace vantrel::test {
namespace {


TEST(Lifecycle, LoaderNoticesForTheFourReasonsOnly) {
    const HostRun run = run_linked([] {
        for (unsigned reason : {0u, 1u, 2u, 3u, 4u, 255u}) log_loader_notice(reason);
        return 0;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug] DllMain(): Process attach"), 1);
    EXPECT_EQ(count_lines_with(run.output, "[debug] DllMain(): Thread attach"), 1);
    EXPECT_EQ(count_lines_with(run.output, "[debug] DllMain(): Thread detach"), 1);
    // One from the call, one from the unload at the child's exit, after the logger survived.
    EXPECT_EQ(count_lines_with(run.output, "[debug] DllMain(): Process detach"), 2);
    EXPECT_EQ(count_lines_with(run.output, "DllMain()"), 5);
}

}  // namespace
}  // namespace vantrel::test
