// The result directory fails under a running host: it turns read-only, or its disk fills up
// while a file is written. The previous file stays whole, no temporary file is left, every
// task either delivers its file or logs why it could not, and the workers go on.
//
// CI runs as root, whom permissions do not stop; the faults are real instead: a small tmpfs
// mounted, filled and remounted read-only inside the forked host's own mount namespace, which
// disappears with it. Outcomes are therefore checked inside the host.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "fault/fault_support.h"
#include "support/host_process.h"
#include "support/pg_server.h"
#include "support/server_test.h"

namespace vantrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class FilesystemFaults : public ServerTest {
protected:

    // Runs scenario in a host whose dir is a fresh tmpfs of size_kib; skips where the machine
    // does not allow the mount.
    HostRun run_on_tmpfs(int size_kib, const std::function<int(const Exports&)>& scenario) {
        return run_host([&, size_kib](const Exports& lib) {
            std::string why;
            if (!enter_private_mount_namespace(why) || !mount_tmpfs(dir, size_kib, why)) {
                std::printf("SKIP: cannot mount a private tmpfs here (%s)\n", why.c_str());
                return skip_exit_code;
            }
            return scenario(lib);
        }, 180);
    }
};

// Writes filler at path until the disk is full, then frees keep_free bytes of it.
bool fill_disk(const std::string& path, std::size_t keep_free) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    const std::vector<char> block(4096, 'f');
    off_t size = 0;
    while (true) {
        const ssize_t written = write(fd, block.data(), block.size());
        if (written <= 0) break;
        size += written;
    }
    const bool ok = ftruncate(fd, size > static_cast<off_t>(keep_free) ? size - keep_free : 0) == 0;
    close(fd);
    return ok;
}

TEST_F(FilesystemFaults, FullDiskKeepsThePreviousFileAndLeavesNoTemporary) {
    const std::u16string c = utf16(conninfo);
    const HostRun run = run_on_tmpfs(256, [&](const Exports& lib) {
        ChildChecks checks;
        const std::u16string target = utf16(dir + "/target");
        lib.query(c.c_str(), u";", u"select 'previous'", 30, target.c_str());
        checks.expect(wait_for_file(dir + "/target", Clock::now() + 30s), "first file written");
        checks.expect(read_file(dir + "/target") == "previous", "first file content");

        // A task is done with the file once its failure is logged.
        const std::string failed = "Can`t write results to file \"" + dir + "/target\": write: No space left on device";
        const auto wait_failures = [&](int count) {
            const auto deadline = Clock::now() + 30s;
            while (count_lines_with(own_output(), failed) < count && Clock::now() < deadline) {
                std::this_thread::sleep_for(10ms);
            }
            return count_lines_with(own_output(), failed) == count;
        };
        // Completely full: even a small outcome cannot be written.
        checks.expect(fill_disk(dir + "/filler", 0), "disk filled");
        lib.query(c.c_str(), u";", u"select 'small'", 30, target.c_str());
        checks.expect(wait_failures(1), "small write failed and was logged");
        checks.expect(read_file(dir + "/target") == "previous", "previous file intact after a full disk");
        // Nearly full: a 200 KB outcome starts and fails part-way.
        checks.expect(fill_disk(dir + "/filler", 64 * 1024), "disk refilled leaving 64 KB");
        lib.query(c.c_str(), u";", u"select repeat('x', 200000)", 30, target.c_str());
        checks.expect(wait_failures(2), "large write failed and was logged");
        checks.expect(read_file(dir + "/target") == "previous", "previous file intact after ENOSPC");
        checks.expect(temporary_files(dir).empty(), "no temporary file left on a full disk");

        // Space again: the same large outcome now lands whole.
        unlink((dir + "/filler").c_str());
        lib.query(c.c_str(), u";", u"select repeat('y', 200000)", 30, target.c_str());
        const auto deadline = Clock::now() + 30s;
        while (read_file(dir + "/target") != std::string(200000, 'y') && Clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        checks.expect(read_file(dir + "/target") == std::string(200000, 'y'), "large file after space came back");
        lib.deinit(true);
        checks.expect(temporary_files(dir).empty(), "no temporary file at the end");
        return checks.exit_code();
    });
    if (run.exit_code == skip_exit_code) GTEST_SKIP() << run.output;
    ASSERT_FALSE(run.timed_out) << run.output;
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[error] worker_function(): Can`t write results to file \"" +
                                               dir + "/target\": write: No space left on device"),
              2)
        << run.output;
}

TEST_F(FilesystemFaults, DirectoryTurnedReadOnlyMidRunLosesNoOutcome) {
    const std::u16string c = utf16(conninfo);
    constexpr int size_kib = 64 * 1024;
    const HostRun run = run_on_tmpfs(size_kib, [&](const Exports& lib) {
        ChildChecks checks;
        std::string why;
        const auto name = [&](const std::string& phase, int i) { return dir + "/" + phase + std::to_string(i); };
        const auto submit = [&](const std::string& phase, int i) {
            const std::u16string sql = utf16("select '" + phase + std::to_string(i) + "'");
            return lib.query(c.c_str(), u";", sql.c_str(), 30, utf16(name(phase, i)).c_str());
        };
        // Before: every outcome lands.
        constexpr int before = 300;
        for (int i = 0; i < before; ++i) submit("a", i);
        for (int i = 0; i < before; ++i) checks.expect(wait_for_file(name("a", i), Clock::now() + 30s), "before");

        // During: a host thread keeps submitting while the directory turns read-only, then
        // writable again.
        std::atomic<bool> stop{false};
        std::atomic<int> submitted{0};
        std::thread host([&] {
            for (int i = 0; i < 100000 && !stop; ++i) {
                if (!submit("b", i)) break;
                submitted = i + 1;
                std::this_thread::sleep_for(500us);
            }
        });
        checks.expect(wait_for_file(name("b", 100), Clock::now() + 30s), "tasks flowing before the fault");
        checks.expect(remount_tmpfs(dir, size_kib, true, why), why);
        const int at_read_only = submitted;
        // Read-only until the refusals of a few dozen writes have been logged.
        checks.expect(wait_until([] { return count_lines_with(own_output(), ": Read-only file system") >= 30; }, 30s),
                      "writes refused while read-only");
        checks.expect(remount_tmpfs(dir, size_kib, false, why), why);
        const int at_writable = submitted;
        // Writable again until a task submitted after the remount has its file.
        checks.expect(wait_for_file(name("b", at_writable + 50), Clock::now() + 30s), "tasks flowing after the fault");
        stop = true;
        host.join();

        // After: the directory is writable and every outcome lands again.
        constexpr int after = 300;
        for (int i = 0; i < after; ++i) submit("c", i);
        lib.deinit(true);

        int written = 0;
        for (int i = 0; i < submitted; ++i) {
            if (!file_exists(name("b", i))) continue;
            ++written;
            checks.expect(read_file(name("b", i)) == "b" + std::to_string(i), "b file content");
        }
        for (int i = 0; i < before; ++i) checks.expect(read_file(name("a", i)) == "a" + std::to_string(i), "a kept");
        for (int i = 0; i < after; ++i) checks.expect(read_file(name("c", i)) == "c" + std::to_string(i), "c written");
        checks.expect(temporary_files(dir).empty(), "no temporary file left");
        checks.expect(at_writable > at_read_only, "tasks were submitted while read-only");
        print_figure("during", submitted);
        print_figure("during_written", written);
        return checks.exit_code();
    });
    if (run.exit_code == skip_exit_code) GTEST_SKIP() << run.output;
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const int during = static_cast<int>(figure(run.output, "during"));
    const int written = static_cast<int>(figure(run.output, "during_written"));
    const int refused = count_lines_with(run.output, "[error] worker_function(): Can`t write results to file \"" +
                                                         dir + "/b");
    const int read_only = count_lines_with(run.output, ": Read-only file system");
    // Each task of the read-only second either wrote its file or logged why not.
    EXPECT_GT(refused, 0) << "no write met the read-only directory";
    EXPECT_EQ(written + refused, during) << run.output;
    EXPECT_EQ(read_only, refused);
    EXPECT_EQ(count_lines_with(run.output, "[error]"), refused);
    std::printf("read-only phase: %d tasks, %d files written, %d refused writes logged\n", during,
                written, refused);
}

}  // namespace
}  // namespace vantrel::test
