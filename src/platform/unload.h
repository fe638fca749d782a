#pragma once
// What keeps the library's code mapped while its workers may run.

#include <atomic>

namespace vantrel {

#if defined(_WIN32)
// The unload runs under the loader lock, which every ending thread needs for its own detach
// notice, so the library can neither wait for its threads there nor use the network; at the
// process's exit the other threads are gone already. So a counted reference to the library's
// own module is taken before the first worker starts and given back by the stop once it has
// joined the last one. In between, a FreeLibrary without the stop cannot unmap code a worker
// runs: the library stays loaded until the process exits. After the stop, the host's
// FreeLibrary unloads it, and a later load starts it afresh.
class LibraryReference {
public:
    // Failure to take it leaves the library as unloadable as without it, which is no reason
    // to refuse the work.
    LibraryReference() noexcept;
    LibraryReference(const LibraryReference&) = delete;
    LibraryReference& operator=(const LibraryReference&) = delete;
    // No release here: the unload runs it under the loader lock, where the library must not
    // unload itself.
    ~LibraryReference() = default;

    // Gives the reference back the first time; later calls do nothing. Only once no worker
    // can run the library's code any more: the caller's own reference then keeps it mapped
    // until the call returns.
    void release() noexcept;

private:
    void* const handle;
    std::atomic<bool> given_back{false};  // stops may overlap
};
#else
// Linux needs none: dlclose runs under no lock an ending thread takes, so the library's own
// unload stops its workers and waits for them (api/library_lifetime.cpp) before its code goes.
class LibraryReference {
public:
    void release() noexcept {}
};
#endif

}  // namespace vantrel
