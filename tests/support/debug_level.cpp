// Linked into vantrel_debug (vantrel_debug.dll, libvantrel_debug.so) with the library's
// objects: raises the log level while the library's static objects are built, before the
// loader's first notice, so every debug line, the loader's included, reaches the output.

#include <spdlog/spdlog.h>

namespace {

struct DebugLevel {
    DebugLevel() { spdlog::set_level(spdlog::level::debug); }
};

const DebugLevel debug_level;

}  // namespace
