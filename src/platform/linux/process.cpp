#include "platform/process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace vantrel {
namespace {

void hold_if_missing(int stream) noexcept {
    if (fcntl(stream, F_GETFD) != -1 || errno != EBADF) return;
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || null == stream) return;
    // The lowest free descriptor from stream on, which is stream unless another thread took it
    // meanwhile: never one the host holds.
    const int held = fcntl(null, F_DUPFD_CLOEXEC, stream);
    if (held >= 0 && held != stream) close(held);
    close(null);
}

}  // namespace

void on_fork_in_child(void (*handler)()) noexcept { pthread_atfork(nullptr, nullptr, handler); }

void block_broken_pipe_signal() noexcept {
    sigset_t broken_pipe;
    sigemptyset(&broken_pipe);
    sigaddset(&broken_pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &broken_pipe, nullptr);
}

void hold_missing_standard_streams() noexcept {
    hold_if_missing(STDOUT_FILENO);
    hold_if_missing(STDERR_FILENO);
}

}  // namespace vantrel
