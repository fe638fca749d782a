#include "platform/unload.h"

#include <windows.h>

namespace vantrel {

bool unload_may_join_threads() { return false; }

void keep_library_loaded() {
    HMODULE self = nullptr;
    // A pin is a reference FreeLibrary cannot take back. Failure leaves the library as
    // unloadable as before, which is no reason to refuse the work.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&keep_library_loaded), &self);
}

}  // namespace vantrel
