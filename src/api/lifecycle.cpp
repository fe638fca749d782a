// The host's brackets around its use of the library.

#include <spdlog/spdlog.h>

#include <atomic>
#include <cstdint>

#include "api/boundary.h"
#include "api/library_lifetime.h"
#include "vantrel.h"

namespace vantrel {

// Counts cVantrelInit against cVantrelDeinit. Every decision uses the value a call's own
// atomic step returned, never a second read.
std::atomic<std::int32_t> REFERENCE_COUNTER{0};

namespace {

// The counter has no bounds; wrap instead of overflowing.
std::int32_t step(std::int32_t value, std::int32_t delta) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) +
                                     static_cast<std::uint32_t>(delta));
}

void initialize() {
    const std::int32_t previous = REFERENCE_COUNTER.fetch_add(1);
    // The library's start line reads "inirialized".
    if (previous == 0) spdlog::info("cVantrelInit(): Library inirialized");
    spdlog::debug("cVantrelInit(): REFERENCE_COUNTER is {}", step(previous, 1));
}

void deinitialize(bool drain) {
    const std::int32_t current = step(REFERENCE_COUNTER.fetch_sub(1), -1);
    spdlog::debug("cVantrelDeinit(): REFERENCE_COUNTER is {}", current);
    if (current > 0) return;
    spdlog::info("cVantrelDeinit(): Shutting down thread pool");
    stop_library(drain);
}

}  // namespace
}  // namespace vantrel

extern "C" VANTREL_API void VANTREL_CALL cVantrelInit(void) {
    vantrel::guarded("cVantrelInit", "", false, [] {
        vantrel::initialize();
        return true;
    });
}

extern "C" VANTREL_API void VANTREL_CALL cVantrelDeinit(bool drain) {
    vantrel::guarded("cVantrelDeinit", "", false, [drain] {
        vantrel::deinitialize(drain);
        return true;
    });
}
