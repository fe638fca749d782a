#pragma once
// What the library asks of the process it runs in: fork, signals and the standard streams.
// Windows has no fork, no SIGPIPE and no numbered standard streams to lose.

namespace vantrel {

#if defined(_WIN32)
inline void on_fork_in_child(void (*)()) noexcept {}
inline void block_broken_pipe_signal() noexcept {}
#else
// Has handler run in the child of every later fork (pthread_atfork). A failure to register it
// (memory short) is not reported: the library then works as before in the parent.
void on_fork_in_child(void (*handler)()) noexcept;

// Blocks SIGPIPE in the calling thread: a write to a pipe or FIFO whose reader left fails with
// EPIPE, as an ordinary write failure, instead of ending the host.
void block_broken_pipe_signal() noexcept;

// Puts /dev/null (close-on-exec) on standard output and standard error where the process has
// none open, so that what the library and libpq print there never goes into whatever a later
// open gets as descriptor 1 or 2, such as a server's socket. Taken descriptors are left as
// they are.
void hold_missing_standard_streams() noexcept;
#endif

}  // namespace vantrel
