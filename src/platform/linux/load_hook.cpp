// Linux has no DLL loader: the library's load and unload stand in for the process notices.
// Thread notices have no source here and are not emulated.

#include "platform/loader.h"

namespace {

// Built right after the attach notice has created the default logger, so the exit handlers,
// which run in reverse order of registration, destroy it before the logger: the detach
// notice never reaches a destroyed logger.
struct DetachNotice {
    ~DetachNotice() { DllMain(nullptr, DLL_PROCESS_DETACH, nullptr); }
};

__attribute__((constructor)) void on_library_load() {
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    static DetachNotice detach_notice;
}

}  // namespace
