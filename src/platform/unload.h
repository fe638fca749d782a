#pragma once
// What the end of the loaded library may do with the worker threads it started.

#include <atomic>

namespace vantrel {

#if defined(_WIN32)
// False: the unload runs under the loader lock, which every ending thread needs for its own
// detach notice, so waiting for a thread there never returns. At process exit the other
// threads are gone already.
bool unload_may_join_threads();

// A counted reference to the library's own module, taken before the first worker starts and
// given back by the stop once it has joined the last one. In between, a FreeLibrary by the
// host cannot unmap code that a worker runs; after the stop, the host's FreeLibrary unloads
// the library and a later LoadLibraryW starts it afresh.
class LibraryReference {
public:
    // Failure to take it leaves the library as unloadable as without it, which is no reason
    // to refuse the work.
    LibraryReference() noexcept;
    LibraryReference(const LibraryReference&) = delete;
    LibraryReference& operator=(const LibraryReference&) = delete;
    // No release here: the unload runs it under the loader lock, where FreeLibrary of the
    // library itself must not be called.
    ~LibraryReference() = default;

    // Gives the reference back the first time; later calls do nothing. Only once no worker
    // can run the library's code any more: the caller's own reference then keeps it mapped
    // until the call returns.
    void release() noexcept;
    bool released() const noexcept;

private:
    void* const module;
    std::atomic<bool> given_back{false};
};
#else
// The unload runs the destructors under no lock the ending threads take: they are joined.
inline bool unload_may_join_threads() { return true; }

// The unload joins the workers itself, so nothing has to keep the library loaded.
class LibraryReference {
public:
    void release() noexcept { given_back = true; }
    bool released() const noexcept { return given_back; }

private:
    std::atomic<bool> given_back{false};  // stops may overlap
};
#endif

}  // namespace vantrel
