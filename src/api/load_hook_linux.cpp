// Linux has no DLL loader: the library's load and unload stand in for the process notices.
// Thread notices have no source here and are not emulated.

#include "api/loader_notice.h"

namespace {

// Built right after the attach notice has created the default logger, so the exit handlers,
// which run in reverse order of registration, destroy it before the logger: the detach
// notice never reaches a destroyed logger.
struct DetachNotice {
    ~DetachNotice() { vantrel::log_loader_notice(vantrel::process_detach); }
};

__attribute__((constructor)) void on_library_load() {
    vantrel::log_loader_notice(vantrel::process_attach);
    static DetachNotice detach_notice;
}

}  // namespace
