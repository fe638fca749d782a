// Linked into vantrel_debug.dll with the library's objects: raises the log level while the
// DLL's static objects are built, before the loader's first DllMain call, so every loader
// notice (debug lines) reaches the output.

#include <spdlog/spdlog.h>

namespace {

struct DebugLevel {
    DebugLevel() { spdlog::set_level(spdlog::level::debug); }
};

const DebugLevel debug_level;

}  // namespace
