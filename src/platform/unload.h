#pragma once
// What the end of the loaded library may do with the worker threads it started.

namespace vantrel {

#if defined(_WIN32)
// False: the unload runs under the loader lock, which every ending thread needs for its own
// detach notice, so waiting for a thread there never returns. At process exit the other
// threads are gone already.
bool unload_may_join_threads();

// Keeps the library mapped until the process ends, so that no thread still running its code
// outlives it: a FreeLibrary that would unmap it under running workers does nothing.
void keep_library_loaded();
#else
// The unload runs the destructors under no lock the ending threads take: they are joined.
inline bool unload_may_join_threads() { return true; }
inline void keep_library_loaded() {}
#endif

}  // namespace vantrel
