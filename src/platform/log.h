#pragma once
// Small helpers over the process-wide default logger.

#include <spdlog/spdlog.h>

#include <string_view>

namespace vantrel {

// Whether debug lines reach the log. Reaching the logger creates it, as any log call does.
inline bool debug_enabled() {
    return spdlog::default_logger_raw()->should_log(spdlog::level::debug);
}

// An err line from an error path that must not throw again (out of memory, say).
template <typename... Args>
void log_error_quietly(spdlog::format_string_t<Args...> format, Args&&... args) noexcept {
    try {
        spdlog::error(format, std::forward<Args>(args)...);
    } catch (...) {
    }
}

}  // namespace vantrel
