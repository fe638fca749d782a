// What a host must be able to rely on: no connection password on standard output or in the
// log at any level, connection errors that change only where they repeat one, result files
// created with the permissions a plain create would give under the process's umask, and
// replaced ones that keep what the host set up at the path.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <grp.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
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
        std::string secret;  // none of its 5-character pieces may show
    };
    std::vector<Case> cases = {
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
        // libpq reads a password as the port and a database name, which the server names back.
        {"postgresql://postgres:" + std::to_string(port) + "/Pt16Qw8Zx@" + host +
             "/postgres?user=postgres&hostaddr=127.0.0.1",
         "/Pt16Qw8Zx"},
    };
    // URI passwords with raw reserved characters: libpq reads pieces of them as the host, port
    // or database, or refuses the string at a piece of them. hostaddr spares the name lookups.
    for (const char* password : {"Gh/Ij9x2Kl", "Xy3@Rt5mV", "Am&4Zp9Lq", "Qe?7Wr2Ty", "Hs#8Jd3Kf", "Cv:6Bn1Mx",
                                 "Ab1/Cd2@Ef3Gh", "Ui4/Op?5Lk", "Zx@Cv/Bn8Mq", "Po:Iu/7Yt5", "Nm#3Bv/Cx6",
                                 "K9/@&?#:Lm4Pq"}) {
        cases.push_back({"postgresql://postgres:" + std::string(password) + "@" + host + "/postgres?hostaddr=127.0.0.1",
                         password});
    }
    for (const char* password : {"Gh&Ij9x2Kl", "Tr/5Ew@Qa1&Sd2", "Ly?3Mk#8Nj", "Vb&Nm=4Lk7", "Fg@Hj:Kl&Zx9Cv"}) {
        cases.push_back(
            {"postgresql://" + host + "/postgres?user=postgres&password=" + password + "&application_name=a", password});
    }
    cases.push_back({"postgresql://" + host + "/postgres?password=Wq&Er5Ty&Ui7&user=postgres", "Wq&Er5Ty&Ui7"});
    // The first 5-character piece of secret that text shows, or "".
    const auto shown_piece = [](const std::string& text, const std::string& secret) {
        for (std::size_t at = 0; at + 5 <= secret.size(); ++at) {
            if (text.find(secret.substr(at, 5)) != std::string::npos) return secret.substr(at, 5);
        }
        return std::string();
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
    // Pieces of a password did come back, from the server and from libpq, hidden.
    EXPECT_NE(read_file(path("ok14")).find("database \"********@127.0.0.1:"), std::string::npos);
    EXPECT_NE(read_file(path("ok15")).find("invalid integer value \"********\""), std::string::npos);
    for (const Case& c : cases) {
        EXPECT_EQ(shown_piece(run.output, c.secret), "") << c.secret << " shown:\n" << run.output;
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        const std::string content = read_file(entry.path());
        for (const Case& c : cases) {
            EXPECT_EQ(shown_piece(content, c.secret), "") << c.secret << " in " << entry.path() << ":\n" << content;
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

// Who runs the host: root, as the tests, or an unprivileged user.
enum class Host { root, nobody };
constexpr uid_t nobody = 65534;
constexpr gid_t nogroup = 65534;
constexpr uid_t third_user = 4242;  // neither the host nor the folder's owner

// What stands at a result file's path before the task, and what a plain
// open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666) and write by the same user makes of it: 0 when
// it writes, else the errno that refuses it. The library must do exactly what that open does.
struct PathCase {
    const char* name;
    Host host;
    int plain;
    int protected_regular;  // the sysctl the row needs; 0 when it does not matter
    bool needs_protected_symlinks;
    std::function<void(const std::string& folder)> set_up;  // makes folder/out and around it
};

void old_file(const std::string& at, mode_t mode, uid_t owner = 0) {
    std::ofstream(at) << "old content, longer than the outcome";
    ASSERT_EQ(chmod(at.c_str(), mode), 0);
    ASSERT_EQ(chown(at.c_str(), owner, owner == 0 ? 0 : nogroup), 0);
}

void folder(const std::string& at, mode_t mode, uid_t owner = 0) {
    if (!std::filesystem::exists(at)) {
        ASSERT_EQ(mkdir(at.c_str(), 0700), 0);
    }
    ASSERT_EQ(chown(at.c_str(), owner, owner == 0 ? 0 : nogroup), 0);
    ASSERT_EQ(chmod(at.c_str(), mode), 0);
}

void owned_link(const char* to, const std::string& at, uid_t owner) {
    ASSERT_EQ(symlink(to, at.c_str()), 0);
    ASSERT_EQ(lchown(at.c_str(), owner, owner == 0 ? 0 : nogroup), 0);
}

const PathCase path_cases[] = {
    // What the host set up at the path stays.
    {"new", Host::root, 0, 0, false, [](const std::string&) {}},
    {"private", Host::root, 0, 0, false, [](const std::string& f) { old_file(f + "/out", 0600); }},
    {"group", Host::root, 0, 0, false, [](const std::string& f) { old_file(f + "/out", 0640); }},
    {"owned", Host::root, 0, 0, false, [](const std::string& f) { old_file(f + "/out", 0644, nobody); }},
    {"link", Host::root, 0, 0, false,
     [](const std::string& f) {
         old_file(f + "/target", 0600);
         ASSERT_EQ(symlink("target", (f + "/out").c_str()), 0);
     }},
    // Relative links resolve from the folder of the link that holds them.
    {"chain", Host::root, 0, 0, false,
     [](const std::string& f) {
         folder(f + "/sub", 0755);
         old_file(f + "/final", 0644);
         ASSERT_EQ(symlink("sub/next", (f + "/out").c_str()), 0);
         ASSERT_EQ(symlink("../final", (f + "/sub/next").c_str()), 0);
     }},
    {"dangling", Host::root, 0, 0, false,
     [](const std::string& f) { ASSERT_EQ(symlink("made", (f + "/out").c_str()), 0); }},
    {"hard", Host::root, 0, 0, false,
     [](const std::string& f) {
         old_file(f + "/out", 0644);
         ASSERT_EQ(link((f + "/out").c_str(), (f + "/other").c_str()), 0);
     }},
    {"fifo", Host::root, 0, 0, false, [](const std::string& f) { ASSERT_EQ(mkfifo((f + "/out").c_str(), 0600), 0); }},
    // A null device of the test's own: as root, a rename would replace the node itself.
    {"device", Host::root, 0, 0, false,
     [](const std::string& f) { ASSERT_EQ(mknod((f + "/out").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0); }},
    {"folder", Host::root, EISDIR, 0, false, [](const std::string& f) { folder(f + "/out", 0755); }},
    // The kernel's guard against link attacks in /tmp-like folders holds for root too.
    {"foreign-link-in-sticky", Host::root, EACCES, 0, true,
     [](const std::string& f) {
         folder(f, 01777);
         folder(f + "/root-only", 0755);
         old_file(f + "/root-only/target", 0644);
         owned_link("root-only/target", f + "/out", third_user);
     }},
    // Permissions, as an unprivileged host meets them.
    {"read-only", Host::nobody, EACCES, 0, false,
     [](const std::string& f) {
         folder(f, 0755, nobody);
         old_file(f + "/out", 0444, nobody);
     }},
    {"own-file-in-closed-folder", Host::nobody, 0, 0, false,
     [](const std::string& f) { old_file(f + "/out", 0644, nobody); }},
    {"foreign-file-in-sticky", Host::nobody, 0, 0, false,
     [](const std::string& f) {
         folder(f, 01777);
         old_file(f + "/out", 0666, third_user);
     }},
    {"foreign-file-in-sticky-protected", Host::nobody, EACCES, 1, false,
     [](const std::string& f) {
         folder(f, 01777);
         old_file(f + "/out", 0666, third_user);
     }},
    {"foreign-file-in-open-folder", Host::nobody, 0, 0, false,
     [](const std::string& f) {
         folder(f, 0777);
         old_file(f + "/out", 0666, third_user);
     }},
    {"own-setuid", Host::nobody, 0, 0, false,
     [](const std::string& f) {
         folder(f, 0755, nobody);
         old_file(f + "/out", 0644, nobody);
         ASSERT_EQ(chmod((f + "/out").c_str(), 04755), 0);
     }},
    {"own-link-in-sticky", Host::nobody, 0, 0, true,
     [](const std::string& f) {
         folder(f, 01777);
         folder(f + "/own", 0755, nobody);
         old_file(f + "/own/target", 0640, nobody);
         owned_link("own/target", f + "/out", nobody);
     }},
    {"new-in-closed-folder", Host::nobody, EACCES, 0, false, [](const std::string&) {}},
};

// A file system setting under /proc/sys/fs switched for one host run and put back on every
// way out of the scope: the machine is shared, so the window stays short.
class SysctlSetting {
public:
    SysctlSetting(const std::string& name, int value) : file("/proc/sys/fs/" + name) {
        before = read();
        if (before == value) return;
        changed = before >= 0 && write(value);
    }
    ~SysctlSetting() {
        if (changed) write(before);
    }
    SysctlSetting(const SysctlSetting&) = delete;
    SysctlSetting& operator=(const SysctlSetting&) = delete;

    int value() const { return read(); }

private:
    int read() const {
        int value = -1;
        std::ifstream(file) >> value;
        return value;
    }
    bool write(int value) const {
        std::ofstream out(file);
        out << value;
        out.close();
        return read() == value;
    }

    std::string file;
    int before = -1;
    bool changed = false;
};

// Everything under a folder as a host would compare it: each entry's type, mode, owner, links
// and content (or link text), by name. Temporary files left behind show up as extra names.
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string at = entry.path().string();
        struct stat info {};
        if (lstat(at.c_str(), &info) != 0) continue;
        std::ostringstream text;
        text << std::oct << info.st_mode << std::dec << " uid " << info.st_uid << " gid " << info.st_gid
             << " links " << info.st_nlink;
        if (S_ISREG(info.st_mode)) text << " content '" << read_file(at) << "'";
        if (S_ISLNK(info.st_mode)) text << " to " << std::filesystem::read_symlink(at).string();
        found[at.substr(root.size())] = text.str();
    }
    return found;
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

// The forked host becomes an unprivileged user before its first task starts the workers.
bool become_nobody() {
    return setgroups(0, nullptr) == 0 && setresgid(nogroup, nogroup, nogroup) == 0 &&
           setresuid(nobody, nobody, nobody) == 0;
}

// The plain open the library is measured against, on the twin of the library's path.
int plain_open_and_write(const std::string& at) {
    const int fd = open(at.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    const int written = write(fd, "TRUE", 4) == 4 ? 0 : errno;
    close(fd);
    return written;
}

class ResultPaths : public Security, public testing::WithParamInterface<std::pair<Host, int>> {};

// Per host user and protected_regular setting: every row set up twice, once for the library
// and once for the plain open by the same user, then compared.
TEST_P(ResultPaths, LibraryWritesExactlyWhereAPlainOpenWould) {
    if (geteuid() != 0) GTEST_SKIP() << "setting up other users' files needs root";
    const auto [host, protected_regular] = GetParam();
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const std::string library_side = path("library");
    const std::string plain_side = path("plain");
    folder(library_side, 0755);
    folder(plain_side, 0755);
    std::vector<const PathCase*> rows;
    for (const PathCase& c : path_cases) {
        if (c.host != host || c.protected_regular != protected_regular) continue;
        for (const std::string& side : {library_side, plain_side}) {
            folder(side + "/" + c.name, 0755);
            c.set_up(side + "/" + c.name);
        }
        rows.push_back(&c);
    }
    ASSERT_FALSE(rows.empty());
    std::vector<std::unique_ptr<FifoReader>> fifos;
    for (const PathCase* c : rows) {
        for (const std::string& side : {library_side, plain_side}) {
            struct stat info {};
            if (lstat((side + "/" + c->name + "/out").c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) {
                fifos.push_back(std::make_unique<FifoReader>(side + "/" + c->name + "/out"));
                ASSERT_TRUE(fifos.back()->is_open());
            }
        }
    }
    const std::u16string c = utf16(conninfo);
    HostRun run;
    bool symlinks_protected = false;
    {
        const SysctlSetting symlinks("protected_symlinks", 1);
        const SysctlSetting regular("protected_regular", protected_regular);
        symlinks_protected = symlinks.value() == 1;
        if (regular.value() != protected_regular) GTEST_SKIP() << "cannot set fs.protected_regular";
        run = run_host([&](const Exports& lib) {
            if (host == Host::nobody && !become_nobody()) return 5;
            for (const PathCase* row : rows) {
                const std::string plain = plain_side + "/" + row->name + "/out";
                std::printf("PLAIN %s %d\n", row->name, plain_open_and_write(plain));
                lib.exec(c.c_str(), u"select 1", 30, utf16(library_side + "/" + row->name + "/out").c_str());
            }
            lib.deinit(true);
            return 0;
        });
    }
    ASSERT_EQ(run.exit_code, 0) << run.output;
    for (const PathCase* row : rows) {
        SCOPED_TRACE(row->name);
        if (row->needs_protected_symlinks && !symlinks_protected) continue;  // reported below
        const std::string target = library_side + "/" + row->name + "/out";
        const std::string plain_line = "PLAIN " + std::string(row->name) + " ";
        const std::size_t at = run.output.find(plain_line);
        ASSERT_NE(at, std::string::npos) << run.output;
        const int plain = std::atoi(run.output.c_str() + at + plain_line.size());
        EXPECT_EQ(plain, row->plain) << std::strerror(plain);
        const std::string refusal = "Can`t write results to file \"" + target + "\": ";
        if (plain == 0) {
            EXPECT_EQ(count_lines_with(run.output, refusal), 0) << run.output;
        } else {
            EXPECT_EQ(count_lines_with(run.output, refusal + "open: " + std::strerror(plain)), 1) << run.output;
        }
        EXPECT_EQ(snapshot(library_side + "/" + row->name), snapshot(plain_side + "/" + row->name));
    }
    for (const auto& fifo : fifos) EXPECT_EQ(fifo->drain(), "TRUE");
    EXPECT_EQ(count_lines_with(run.output, "[error]"), count_lines_with(run.output, "Can`t write results"));
    if (!symlinks_protected) GTEST_SKIP() << "fs.protected_symlinks could not be switched on: link rows not run";
}

INSTANTIATE_TEST_SUITE_P(HostsAndSettings, ResultPaths,
                         testing::Values(std::pair{Host::root, 0}, std::pair{Host::nobody, 0},
                                         std::pair{Host::nobody, 1}),
                         [](const testing::TestParamInfo<std::pair<Host, int>>& info) {
                             return std::string(info.param.first == Host::root ? "Root" : "Unprivileged") +
                                    "ProtectedRegular" + std::to_string(info.param.second);
                         });

}  // namespace
}  // namespace vantrel::test
