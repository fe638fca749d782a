#include "platform/unload.h"

#include <dlfcn.h>

namespace vantrel {
namespace {

// The library's own handle, one more reference on it; null where it is not a loaded shared
// object of its own (linked into a program).
void* this_library_counted() noexcept {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&this_library_counted), &info) == 0 || info.dli_fname == nullptr) {
        return nullptr;
    }
    return dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
}

}  // namespace

LibraryReference::LibraryReference() noexcept : handle(this_library_counted()) {}

void LibraryReference::release() noexcept {
    if (given_back.exchange(true) || handle == nullptr) return;
    dlclose(handle);
}

bool LibraryReference::released() const noexcept { return given_back; }

bool LibraryReference::held() const noexcept { return handle != nullptr && !given_back; }

}  // namespace vantrel
