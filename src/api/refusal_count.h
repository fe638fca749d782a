#pragma once
// Refusals that a flooding host makes by the thousand, reported in one line a second.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>

namespace vantrel {

// Counts refusals from any thread and says when a line is due: at the first refusal, then at
// the first one at least a second after the last line, each time with every refusal since
// that line. Without a lock, so a refusal costs the host about what an acceptance does.
class RefusalCount {
public:
    using Clock = std::chrono::steady_clock;

    // Counts one refusal made at now. Returns how many the line due now reports, or 0 when no
    // line is due.
    std::uint64_t count(Clock::time_point now) {
        refused.fetch_add(1, std::memory_order_relaxed);
        const Clock::rep at = now.time_since_epoch().count();
        Clock::rep last = last_line.load(std::memory_order_relaxed);
        if (last != never && at - last < interval_ticks) return 0;
        // Of the threads that find the second over, one writes the line.
        if (!last_line.compare_exchange_strong(last, at, std::memory_order_relaxed)) return 0;
        return refused.exchange(0, std::memory_order_relaxed);
    }

private:
    static constexpr Clock::rep never = std::numeric_limits<Clock::rep>::min();
    static constexpr Clock::rep interval_ticks =
        std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)).count();

    std::atomic<std::uint64_t> refused{0};
    std::atomic<Clock::rep> last_line{never};
};

}  // namespace vantrel
