// What a host must be able to rely on: no connection password on standard output or in the
// log at any level, connection errors that change only where they repeat one, user text that
// never acts as a format string, result files created with the permissions a plain create
// would give under the process's umask, and replaced ones that keep what the host set up at
// the path.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "exec/pg_handles.h"
#include "fault/fault_support.h"
#include "support/host_process.h"
#include "support/pg_server.h"
#include "support/server_test.h"
#include "vantrel.h"

namespace vantrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class Security : public ServerTest {};

// Every syntax a password can take, each with its own secret; the server trusts the loopback,
// so the sessions succeed and every log line of a working session is produced.
TEST_F(Security, PasswordNeverShownAtAnyLogLevel) {
    const int port = test_server_port();
    const std::string host = "127.0.0.1:" + std::to_string(port);
    struct Case {
        std::string conninfo;
        std::string secret;
    };
    const Case cases[] = {
        {conninfo + " password=Kv1SecretPw", "Kv1SecretPw"},
        {conninfo + " password='Qt2 Secret\\'Pw'", "Qt2 Secret"},
        {"password = Sp3SecretPw " + conninfo, "Sp3SecretPw"},
        {conninfo + " sslpassword=Ssl4SecretPw", "Ssl4SecretPw"},
        {"postgresql://postgres:Ur5SecretPw@" + host + "/postgres", "Ur5SecretPw"},
        {"postgresql://" + host + "/postgres?user=postgres&password=Pm6SecretPw", "Pm6SecretPw"},
        {"postgres://postgres:Pc7Secret%40Pw@" + host + "/postgres", "Pc7Secret"},
        {"host=/nonexistent-socket-dir password=Un8SecretPw", "Un8SecretPw"},
        {conninfo + " password=Bad9SecretPw connect_timeout=x", "Bad9SecretPw"},  // libpq refuses it
        // libpq's refusals repeat the string, or the piece where it stopped; the server names
        // the database it was given.
        {"postgresql://app:Br10SecretPw@[::1/db", "Br10SecretPw"},
        {"postgresql://app:Pe11Secret%zz@h/db", "Pe11Secret"},
        {"postgresql://app:Eb12SecretPw@[]/db", "Eb12SecretPw"},
        {conninfo + " password=Sp13Secret Pw14Piece", "Pw14Piece"},
        {conninfo + " dbname=x\\ password=Db15SecretPw", "Db15SecretPw"},
    };
    const HostRun run = run_linked([&] {
        spdlog::set_level(spdlog::level::trace);
        cVantrelInit();
        ChildChecks checks;
        int n = 0;
        for (const Case& c : cases) {
            const std::u16string conn = utf16(c.conninfo);
            const std::string id = std::to_string(n++);
            cVantrel(conn.c_str(), u";", u"select 1", 30, utf16(path("ok" + id)).c_str());
            cVantrelExec(conn.c_str(), u"select * from no_such_table", 30, utf16(path("error" + id)).c_str());
            cVantrel(conn.c_str(), u";", u"select 1", -1, utf16(path("timeout" + id)).c_str());
            cVantrel(conn.c_str(), u";", u"select 1", 30, utf16(path("no-dir" + id + "/x")).c_str());
            const char16_t bad[] = {u's', 0xDC00, 0};
            cVantrel(conn.c_str(), u";", bad, 30, utf16(path("rejected" + id)).c_str());
        }
        // Every live session is closed by the server once its tasks are done, and opened again:
        // the reconnect's lines.
        for (int i = 0; i < n; ++i) {
            for (const char* kind : {"ok", "error", "timeout"}) {
                const std::string file = path(kind + std::to_string(i));
                checks.expect(wait_for_file(file, Clock::now() + 60s), file + " written");
            }
        }
        std::printf("RESTART\n");
        std::fflush(stdout);
        restart_test_server();
        for (std::size_t i = 0; i < 3 * library_workers(); ++i) {
            for (const Case& c : cases) {
                cVantrel(utf16(c.conninfo).c_str(), u";", u"select 2", 30, utf16(path("again")).c_str());
            }
        }
        cVantrelDeinit(true);
        return checks.exit_code();
    }, 180);
    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.exit_code, 0) << run.output;
    // The scenario did what it claims: sessions ran, lines were printed, masks shown.
    EXPECT_EQ(read_file(path("ok0")), "1");
    EXPECT_EQ(read_file(path("ok4")), "1");
    EXPECT_EQ(read_file(path("ok5")), "1");
    EXPECT_GT(count_lines_with(run.output, "[debug] worker_function(): Creating connection to "), 0);
    EXPECT_GT(count_lines_with(run.output.substr(run.output.find("RESTART")),
                               "[debug] worker_function(): Creating connection to "),
              0)
        << "no session was opened again after the restart";
    EXPECT_GT(count_lines_with(run.output, "Connection constructed: "), 0);
    EXPECT_GT(count_lines_with(run.output, "Can`t write results to file"), 0);
    EXPECT_GT(count_lines_with(run.output, "Task rejected: bad conversion"), 0);
    EXPECT_NE(run.output.find("password=********"), std::string::npos);
    EXPECT_NE(run.output.find("postgres:********@"), std::string::npos);
    for (const Case& c : cases) {
        EXPECT_EQ(run.output.find(c.secret), std::string::npos) << c.secret << " shown:\n" << run.output;
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        const std::string content = read_file(entry.path());
        for (const Case& c : cases) {
            EXPECT_EQ(content.find(c.secret), std::string::npos) << c.secret << " in " << entry.path();
        }
    }
}

// A failed connection's outcome is libpq's own text, with a password hidden only where the
// text repeats the value that swallowed it; a password that stands in the text by chance (in
// a name, the port or libpq's wording) leaves every byte as libpq wrote it.
TEST_F(Security, ConnectionErrorHidesOnlyTheEchoedPassword) {
    const std::string port_digit = std::to_string(test_server_port()).substr(0, 1);
    struct Case {
        std::string settings;
        std::string password;
        bool echoed;
    };
    const Case cases[] = {
        {" password=no dbname=nosuchdb", "no", false},
        {" password=e dbname=nosuchdb", "e", false},
        {" password=" + port_digit + " dbname=nosuchdb", port_digit, false},
        {" dbname='x password=Db16SecretPw'", "Db16SecretPw", true},
        {" user='u password=Rl17SecretPw'", "Rl17SecretPw", true},
    };
    const HostRun run = run_linked([&] {
        cVantrelInit();
        int n = 0;
        for (const Case& c : cases) {
            cVantrelExec(utf16(conninfo + c.settings).c_str(), u"select 1", 30,
                         utf16(path("connect" + std::to_string(n++))).c_str());
        }
        cVantrelDeinit(true);
        return 0;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    int n = 0;
    for (const Case& c : cases) {
        const SessionHandle session(PQconnectdb((conninfo + c.settings).c_str()));
        ASSERT_NE(PQstatus(session.get()), CONNECTION_OK) << c.settings;
        std::string expected = PQerrorMessage(session.get());
        const std::size_t password = expected.find(c.password);
        ASSERT_NE(password, std::string::npos) << expected;
        if (c.echoed) expected.replace(password, c.password.size(), "********");
        for (std::size_t at = expected.find('\n'); at != std::string::npos; at = expected.find('\n', at + 2)) {
            expected.insert(at, "\r");
        }
        EXPECT_EQ(read_file(path("connect" + std::to_string(n++))), expected) << c.settings;
    }
}

TEST_F(Security, UserTextIsNeverAFormatString) {
    const std::string text = "{} {0} {:>10} {:%Y} %s%n%x%p %% {{}}";
    const std::u16string c = utf16(conninfo + " application_name='" + text + "'");
    const std::string odd_name = "out {}%s%n.txt";
    const HostRun run = run_linked([&] {
        const std::u16string sql = utf16("select '" + text + "'");
        const std::u16string failing = utf16("select * from \"" + text + "\"");
        const bool ok =
            cVantrel(c.c_str(), utf16(text).c_str(), utf16("select '" + text + "', 2").c_str(), 30,
                     utf16(path(odd_name)).c_str()) &&
            cVantrel(c.c_str(), u";", sql.c_str(), 30, utf16(path("value")).c_str()) &&
            cVantrelExec(c.c_str(), failing.c_str(), 30, utf16(path("error")).c_str()) &&
            cVantrel(c.c_str(), u";", sql.c_str(), 30, utf16(path("no dir " + text + "/x")).c_str());
        cVantrelDeinit(true);
        return ok ? 0 : 3;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(read_file(path(odd_name)), text + text + "2");
    EXPECT_EQ(read_file(path("value")), text);
    const std::string error = read_file(path("error"));
    EXPECT_EQ(error.rfind("ERROR:  relation \"" + text + "\" does not exist\r\n", 0), 0u) << error;
    EXPECT_NE(error.find("LINE 1: select * from \"" + text + "\"\r\n"), std::string::npos) << error;
    // The log shows the user's text as it is, wherever it appears.
    EXPECT_EQ(count_lines_with(run.output, "Enqueue task {\"query\":\"select '" + text + "'\""), 2) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "\"sep\":\"" + text + "\""), 2);
    EXPECT_EQ(count_lines_with(run.output, "\"path\":\"" + path(odd_name) + "\""), 2);
    // One line per worker that met the connection string, each with the text intact.
    const int constructed = count_lines_with(run.output, "Connection constructed: ");
    EXPECT_GE(constructed, 1);
    EXPECT_EQ(count_lines_with(run.output, "Connection constructed: " + conninfo + " application_name='" + text + "'"),
              constructed)
        << run.output;
    EXPECT_EQ(count_lines_with(run.output, "Can`t write results to file \"" + path("no dir " + text + "/x") + "\""), 1);
    EXPECT_NE(run.output.find("Result:\n'''" + text + "'''"), std::string::npos);
}

struct UmaskCase {
    mode_t umask_value;
    mode_t expected;
};

TEST_F(Security, NewResultFilesGetThePermissionsOfAPlainCreate) {
    const UmaskCase cases[] = {{022, 0644}, {027, 0640}, {077, 0600}, {0, 0666}, {002, 0664}};
    const std::u16string c = utf16(conninfo);
    const HostRun run = run_host([&](const Exports& lib) {
        for (const UmaskCase& u : cases) {
            const std::string mask = std::to_string(u.umask_value);
            umask(u.umask_value);
            // The same create as a host's own, for comparison.
            close(open(path("plain" + mask).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
            lib.exec(c.c_str(), u"select 1", 30, utf16(path("result" + mask)).c_str());
            // The worker creates the file under the mask of that moment: the next mask waits.
            if (!wait_for_file(path("result" + mask), Clock::now() + 30s)) return 4;
        }
        lib.deinit(true);
        return 0;
    });
    ASSERT_NE(run.exit_code, 4) << "a result file did not arrive\n" << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    for (const UmaskCase& u : cases) {
        const std::string mask = std::to_string(u.umask_value);
        struct stat result {};
        struct stat plain {};
        ASSERT_EQ(stat(path("result" + mask).c_str(), &result), 0);
        ASSERT_EQ(stat(path("plain" + mask).c_str(), &plain), 0);
        EXPECT_EQ(result.st_mode & 07777, u.expected) << "umask 0" << std::oct << u.umask_value;
        EXPECT_EQ(result.st_mode & 07777, plain.st_mode & 07777) << "umask 0" << std::oct << u.umask_value;
        EXPECT_EQ(read_file(path("result" + mask)), "TRUE");
    }
}

// What stands at a result file's path before the task, and what must still stand there after.
struct PathCase {
    const char* name;
    bool needs_root;
    std::function<void(const std::string& at)> set_up;
    std::function<void(const std::string& at)> check;
};

mode_t mode_of(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode;
}

void old_file(const std::string& at, mode_t mode) {
    std::ofstream(at) << "old content, longer than the outcome";
    ASSERT_EQ(chmod(at.c_str(), mode), 0);
}

// Holds a FIFO open for reading, so that a writer's open succeeds at once and
// what it writes waits in the pipe. No reader thread: the host runs in a forked
// child, and a fork taken while another thread runs is unsound (TSan refuses it).
class FifoReader {
public:
    explicit FifoReader(const std::string& path)
        : fd_(open(path.c_str(), O_RDONLY | O_NONBLOCK)) {}
    ~FifoReader() {
        if (fd_ >= 0) close(fd_);
    }
    FifoReader(const FifoReader&) = delete;
    FifoReader& operator=(const FifoReader&) = delete;
    bool is_open() const { return fd_ >= 0; }
    // Everything written so far; the writer has closed once the child is gone.
    std::string drain() const {
        std::string got;
        char buffer[256];
        for (ssize_t size; (size = read(fd_, buffer, sizeof buffer)) > 0;) {
            got.append(buffer, static_cast<std::size_t>(size));
        }
        return got;
    }

private:
    int fd_;
};

TEST_F(Security, ReplacedResultFilesKeepWhatTheHostSetUpAtThePath) {
    const bool root = geteuid() == 0;
    const PathCase cases[] = {
        {"private", false, [](const std::string& at) { old_file(at, 0600); },
         [](const std::string& at) { EXPECT_EQ(mode_of(at) & 07777, 0600u); }},
        {"group", false, [](const std::string& at) { old_file(at, 0640); },
         [](const std::string& at) { EXPECT_EQ(mode_of(at) & 07777, 0640u); }},
        {"owned", true,
         [](const std::string& at) {
             old_file(at, 0644);
             ASSERT_EQ(chown(at.c_str(), 65534, 65534), 0);
         },
         [](const std::string& at) {
             struct stat info {};
             ASSERT_EQ(stat(at.c_str(), &info), 0);
             EXPECT_EQ(info.st_uid, 65534u);
             EXPECT_EQ(info.st_gid, 65534u);
         }},
        {"link", false,
         [](const std::string& at) {
             old_file(at + "-target", 0600);
             ASSERT_EQ(symlink("link-target", at.c_str()), 0);
         },
         [](const std::string& at) {
             EXPECT_TRUE(S_ISLNK(mode_of(at)));
             EXPECT_EQ(read_file(at + "-target"), "TRUE");
             EXPECT_EQ(mode_of(at + "-target") & 07777, 0600u);
         }},
        // Relative links resolve from the folder of the link that holds them.
        {"chain", false,
         [](const std::string& at) {
             std::filesystem::create_directory(at + "-sub");
             old_file(at + "-final", 0644);
             ASSERT_EQ(symlink("chain-sub/next", at.c_str()), 0);
             ASSERT_EQ(symlink("../chain-final", (at + "-sub/next").c_str()), 0);
         },
         [](const std::string& at) {
             EXPECT_TRUE(S_ISLNK(mode_of(at)));
             EXPECT_TRUE(S_ISLNK(mode_of(at + "-sub/next")));
             EXPECT_EQ(read_file(at + "-final"), "TRUE");
         }},
        {"dangling", false,
         [](const std::string& at) { ASSERT_EQ(symlink("dangling-made", at.c_str()), 0); },
         [](const std::string& at) {
             EXPECT_TRUE(S_ISLNK(mode_of(at)));
             EXPECT_EQ(read_file(at + "-made"), "TRUE");
         }},
        {"hard", false,
         [](const std::string& at) {
             old_file(at, 0644);
             ASSERT_EQ(link(at.c_str(), (at + "-other").c_str()), 0);
         },
         [](const std::string& at) {
             EXPECT_EQ(read_file(at + "-other"), "TRUE");
             struct stat one {};
             struct stat other {};
             ASSERT_EQ(stat(at.c_str(), &one), 0);
             ASSERT_EQ(stat((at + "-other").c_str(), &other), 0);
             EXPECT_EQ(one.st_ino, other.st_ino);
         }},
        {"fifo", false, [](const std::string& at) { ASSERT_EQ(mkfifo(at.c_str(), 0600), 0); },
         [](const std::string& at) { EXPECT_TRUE(S_ISFIFO(mode_of(at))); }},
        // A null device of the test's own: as root, a rename would replace the node itself.
        {"device", true,
         [](const std::string& at) {
             ASSERT_EQ(mknod(at.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
         },
         [](const std::string& at) { EXPECT_TRUE(S_ISCHR(mode_of(at))); }},
    };
    std::vector<const PathCase*> run_cases;
    for (const PathCase& c : cases) {
        if (c.needs_root && !root) continue;  // reported below
        c.set_up(path(c.name));
        run_cases.push_back(&c);
    }
    const FifoReader fifo(path("fifo"));
    ASSERT_TRUE(fifo.is_open());
    const std::u16string c = utf16(conninfo);
    const HostRun run = run_host([&](const Exports& lib) {
        for (const PathCase* pc : run_cases) {
            lib.exec(c.c_str(), u"select 1", 30, utf16(path(pc->name)).c_str());
        }
        lib.deinit(true);
        return 0;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[error]"), 0) << run.output;
    for (const PathCase* pc : run_cases) {
        SCOPED_TRACE(pc->name);
        pc->check(path(pc->name));
        if (S_ISREG(mode_of(path(pc->name)))) {
            EXPECT_EQ(read_file(path(pc->name)), "TRUE");
        }
    }
    EXPECT_EQ(fifo.drain(), "TRUE");
    EXPECT_TRUE(leftover_temporaries(dir).empty());
    if (!root) GTEST_SKIP() << "not root: the owner and device cases did not run";
}

}  // namespace
}  // namespace vantrel::test
