#pragma once
// What the end of the loaded library may do with the worker threads it started.

#include <atomic>

namespace vantrel {

// False on Windows: the unload runs under the loader lock, which every ending thread needs for
// its own detach notice, so waiting for a thread there never returns, and no request may go
// out to the network. At process exit the other threads are gone already. True on Linux,
// where the unload runs under no lock the ending threads take.
#if defined(_WIN32)
bool unload_may_join_threads();
#else
inline bool unload_may_join_threads() { return true; }
#endif

// A counted reference to the library's own module, taken before the first worker starts and
// given back by the stop once it has joined the last one. In between, the host's unload
// (FreeLibrary, dlclose) cannot unmap code that a worker runs, so the only end of the library
// without a stop is the process's exit. After the stop, the host's unload unloads the library
// and a later load starts it afresh.
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
    bool released() const noexcept;
    // Taken and not given back: an end of the library now is the process's exit.
    bool held() const noexcept;

private:
    void* const handle;
    std::atomic<bool> given_back{false};  // stops may overlap
};

}  // namespace vantrel
