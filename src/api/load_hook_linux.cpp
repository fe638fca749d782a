// Linux has no DLL loader: the library's load and unload stand in for the process notices, and
// the exit handlers and destructors the runtime runs at each end stand in for the loader's
// detach. Thread notices have no source here and are not emulated.

#include "api/library_lifetime.h"
#include "api/loader_notice.h"
#include "platform/process.h"

namespace {

// Built right after the attach notice has created the default logger, so the exit handlers,
// which run in reverse order of registration, destroy it before the logger: the detach
// notice never reaches a destroyed logger.
struct DetachNotice {
    ~DetachNotice() { vantrel::log_loader_notice(vantrel::process_detach); }
};

// Registered at the load, so at the exit it runs after every exit handler and global
// destructor the host registered once the library was loaded (any of which may stop the
// library), and before the logger and the detach notice go.
struct ExitWithoutStop {
    ~ExitWithoutStop() { vantrel::end_library_at_exit(); }
};

__attribute__((constructor)) void on_library_load() {
    vantrel::hold_missing_standard_streams();  // before the logger's sink or a session uses them
    vantrel::log_loader_notice(vantrel::process_attach);
    static DetachNotice detach_notice;
    static ExitWithoutStop exit_without_stop;
}

// At dlclose the loader runs this before the library's exit handlers; at the process's exit,
// after them, when the exit has already ended the library and this does nothing.
__attribute__((destructor)) void on_library_unload() { vantrel::end_library_at_unload(); }

}  // namespace
