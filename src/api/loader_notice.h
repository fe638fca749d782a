#pragma once
// The debug notice of each call the loader makes into the library.

namespace vantrel {

// The loader's reasons, numbered as Windows numbers them (DLL_PROCESS_DETACH ...).
enum LoaderReason : unsigned {
    process_detach = 0,
    process_attach = 1,
    thread_attach = 2,
    thread_detach = 3,
};

// Logs "DllMain(): Process attach" and the like at debug level; any other reason logs
// nothing. Never throws: the loader must never fail on the library's account.
void log_loader_notice(unsigned reason) noexcept;

}  // namespace vantrel
