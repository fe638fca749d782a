#pragma once
// How many workers the pool runs, from the platform's logical processor count. Header-only,
// so that hosts that drive the library from outside (tests, bench) count as it counts.

#include <algorithm>

namespace vantrel {

// Twice the logical processors; a platform that reports none (0: unknown) counts as one, so
// the pool never runs without workers.
inline unsigned pool_worker_count(unsigned logical_processors) {
    return 2 * std::max(1u, logical_processors);
}

}  // namespace vantrel
