#pragma once
// The one guard every export runs its body in: nothing thrown may cross into the host,
// where it would end the process.

#include <exception>

#include "platform/log.h"

namespace vantrel {

// Runs body; on any exception logs "<export>(): <prefix><reason>" at err level and returns
// failure_value instead.
template <typename Result, typename Body>
Result guarded(const char* export_name, const char* prefix, Result failure_value,
               Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& error) {
        log_error_quietly("{}(): {}{}", export_name, prefix, error.what());
    } catch (...) {
        log_error_quietly("{}(): {}{}", export_name, prefix, "unknown error");
    }
    return failure_value;
}

}  // namespace vantrel
