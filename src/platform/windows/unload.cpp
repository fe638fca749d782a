#include "platform/unload.h"

#include <windows.h>

namespace vantrel {
namespace {

HMODULE this_module_counted() noexcept {
    HMODULE self = nullptr;
    // Without GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT: one more reference, which
    // FreeLibrary takes back.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&this_module_counted), &self)) {
        return nullptr;
    }
    return self;
}

}  // namespace

LibraryReference::LibraryReference() noexcept : handle(this_module_counted()) {}

void LibraryReference::release() noexcept {
    if (given_back.exchange(true) || handle == nullptr) return;
    FreeLibrary(static_cast<HMODULE>(handle));
}

}  // namespace vantrel
