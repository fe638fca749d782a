// A primary and its streaming standby behind one multi-host connection string: the primary
// stops and the standby is promoted while host threads keep writing. libpq's own
// target_session_attrs=read-write makes every worker that reconnects find the new primary.

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "deploy/deploy_support.h"
#include "fault/fault_support.h"

namespace vantrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Host threads write their own rows at a steady pace until a fixed number of them have been
// submitted after the promotion. The ledger holds, per task, its thread, number and submission
// time in seconds relative to the end of the promotion.
struct FailoverLoad {
    int threads = 4;
    int after_promotion = 100;
    int bound = 20000;  // per thread, whatever happens
    std::chrono::milliseconds pace{5};

    static std::string id(int thread, int i) { return std::to_string(thread) + "-" + std::to_string(i); }

    template <typename Failover>
    int run(const Exports& lib, const std::u16string& conninfo, const std::string& dir,
            Failover failover) const {
        lib.init();
        const auto start = Clock::now();
        double promoted_at = 0;
        std::vector<std::vector<double>> submitted_at(threads);
        const PacedHosts hosts{threads, after_promotion, bound, pace};
        // The failover starts once writes are flowing.
        const PacedHosts::Run run = hosts.run(
            [&](int t, int i) {
                const std::u16string sql = utf16("insert into failover_log values ('" + id(t, i) + "')");
                submitted_at[t].push_back(seconds_since(start));
                lib.exec(conninfo.c_str(), sql.c_str(), 30, utf16(dir + "/" + id(t, i)).c_str());
            },
            dir + "/" + id(0, 50), 60s,
            [&] {
                failover();
                promoted_at = seconds_since(start);
            });
        lib.deinit(true);
        if (!run.flowing) {
            std::printf("FAILED: no write ended before the failover\n");
            return 4;
        }
        std::ofstream ledger(dir + "/ledger");
        for (int t = 0; t < threads; ++t) {
            for (std::size_t i = 0; i < submitted_at[t].size(); ++i) {
                ledger << t << " " << i << " " << submitted_at[t][i] - promoted_at << "\n";
            }
        }
        return 0;
    }
};

TEST(StandbyFailover, WorkersFollowThePromotedStandbyAndNoAcknowledgedWriteIsLost) {
    const std::string dir = deploy_dir("standby_failover");
    const std::string results = make_temp_dir();
    Cluster primary = Cluster::primary(dir + "/primary");
    AdminSession(primary.conninfo()).run("create table failover_log (id text primary key)");
    Cluster standby = Cluster::standby(dir + "/standby", primary);
    const std::string both = "host=127.0.0.1,127.0.0.1 port=" + std::to_string(primary.port()) + "," +
                             std::to_string(standby.port()) +
                             " user=postgres dbname=postgres target_session_attrs=read-write connect_timeout=2";
    const unsigned workers = library_workers();
    const FailoverLoad load;
    const std::u16string c = utf16(both);
    // libpq 15 does not know load_balance_hosts (16 does) and refuses the whole string.
    const std::u16string balanced = utf16(both + " load_balance_hosts=random");
    const HostRun run = run_host(
        [&](const Exports& lib) {
            lib.query(balanced.c_str(), u";", u"select 1", 30, utf16(results + "/balanced").c_str());
            return load.run(lib, c, results, [&] {
                const auto stopping = Clock::now();
                std::ofstream(results + "/stopping").flush();
                primary.stop();
                print_figure("stop_seconds", seconds_since(stopping));
                const auto promoting = Clock::now();
                standby.promote();
                std::ofstream(results + "/promoted").flush();
                print_figure("promote_seconds", seconds_since(promoting));
            });
        },
        150);
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;

    std::set<std::string> rows_on_new_primary;
    for (const std::string& id : AdminSession(standby.conninfo()).column("select id from failover_log")) {
        rows_on_new_primary.insert(id);
    }
    int acknowledged = 0, errors = 0, after = 0, errors_after = 0, lost = 0, unacknowledged_kept = 0;
    // When the failing tasks ended, by their files' times, in seconds after the promotion's end.
    const auto promoted = std::filesystem::last_write_time(results + "/promoted");
    const auto ended = [&](const std::string& id) {
        return std::chrono::duration<double>(std::filesystem::last_write_time(results + "/" + id) - promoted).count();
    };
    double first_error_ended = 1e9, last_error_ended = -1e9;
    std::vector<std::string> problems;
    std::map<std::string, int> error_kinds;  // by text, on one line
    std::ifstream ledger(results + "/ledger");
    int thread = 0, i = 0;
    double submitted = 0;
    while (ledger >> thread >> i >> submitted) {
        const std::string id = FailoverLoad::id(thread, i);
        const std::string text = file_exists(results + "/" + id) ? read_file(results + "/" + id) : "(missing)";
        const bool on_new_primary = rows_on_new_primary.count(id) > 0;
        if (submitted >= 0) ++after;
        if (text == "TRUE") {
            ++acknowledged;
            if (!on_new_primary) ++lost;
        } else if (is_error_text(text)) {
            ++errors;
            ++error_kinds[std::regex_replace(text, std::regex("\r\n\\s*"), " ")];
            if (on_new_primary) ++unacknowledged_kept;
            if (submitted >= 0) ++errors_after;
            first_error_ended = std::min(first_error_ended, ended(id));
            last_error_ended = std::max(last_error_ended, ended(id));
        } else {
            problems.push_back(id + ": '" + text + "'");
        }
    }
    if (PQlibVersion() < 160000) {
        EXPECT_EQ(read_file(results + "/balanced"), "invalid connection option \"load_balance_hosts\"\r\n");
    }
    EXPECT_TRUE(problems.empty()) << problems.size() << " tasks without a proper outcome, first: " << problems.front();
    EXPECT_EQ(lost, 0) << "writes that reported TRUE are missing on the promoted server";
    EXPECT_GT(errors, 0) << "the failover met no task";
    EXPECT_GE(after, load.threads * load.after_promotion);
    // At most one failure per worker after the promotion: its session to the old primary.
    EXPECT_LE(errors_after, static_cast<int>(workers));
    std::printf("failover: stop %.2f s, promote %.2f s; %d tasks: %d TRUE (all on the new primary), %d error texts "
                "(%d kept nevertheless), which ended from %.2f s to %.2f s after the promotion's end "
                "(the stop began %.2f s before it); submitted after it: %d tasks, %d error texts\n",
                figure(run.output, "stop_seconds"), figure(run.output, "promote_seconds"), acknowledged + errors,
                acknowledged, errors, unacknowledged_kept, first_error_ended, last_error_ended,
                std::chrono::duration<double>(promoted - std::filesystem::last_write_time(results + "/stopping")).count(),
                after, errors_after);
    for (const auto& [kind, count] : error_kinds) std::printf("  %d x %s\n", count, kind.c_str());
}

}  // namespace
}  // namespace vantrel::test
