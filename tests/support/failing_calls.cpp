#undef _FORTIFY_SOURCE  // its inline open() would stand beside the one defined here
#include "support/failing_calls.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>

namespace vantrel::test {
namespace {

constexpr int calls = 7;
std::atomic<int> armed[calls];   // the error a call fails with; 0 when it runs
std::atomic<int> failures[calls];

int slot(Call call) { return static_cast<int>(call); }

// True, with errno set, when call is to fail.
bool fails(Call call) {
    const int error = armed[slot(call)].load();
    if (error == 0) return false;
    ++failures[slot(call)];
    errno = error;
    return true;
}

template <typename Function>
Function* next(const char* name) {
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

}  // namespace

FailingCall::FailingCall(Call call, int error) : call(call) {
    failures[slot(call)] = 0;
    armed[slot(call)] = error;
}

FailingCall::~FailingCall() { armed[slot(call)] = 0; }

int FailingCall::failed() const { return failures[slot(call)].load(); }

}  // namespace vantrel::test

using vantrel::test::Call;
using vantrel::test::fails;
using vantrel::test::next;

extern "C" {

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = va_arg(arguments, mode_t);
    va_end(arguments);
    if ((flags & O_TMPFILE) == O_TMPFILE && fails(Call::unnamed_file)) return -1;
    return next<int(const char*, int, ...)>("open")(path, flags, mode);
}

int openat(int folder, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = va_arg(arguments, mode_t);
    va_end(arguments);
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) && fails(Call::exclusive_create)) return -1;
    return next<int(int, const char*, int, ...)>("openat")(folder, path, flags, mode);
}

int linkat(int from_folder, const char* from, int to_folder, const char* to, int flags) __THROW {
    if (fails(Call::link)) return -1;
    return next<int(int, const char*, int, const char*, int)>("linkat")(from_folder, from, to_folder, to, flags);
}

int renameat2(int from_folder, const char* from, int to_folder, const char* to, unsigned flags) __THROW {
    if (fails((flags & RENAME_NOREPLACE) != 0 ? Call::rename_noreplace : Call::rename_replace)) return -1;
    return next<int(int, const char*, int, const char*, unsigned)>("renameat2")(from_folder, from, to_folder, to,
                                                                               flags);
}

int fchown(int fd, uid_t owner, gid_t group) __THROW {
    if (fails(Call::change_owner)) return -1;
    return next<int(int, uid_t, gid_t)>("fchown")(fd, owner, group);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) __THROW {
    if (fails(Call::set_attribute)) return -1;
    return next<int(int, const char*, const void*, size_t, int)>("fsetxattr")(fd, name, value, size, flags);
}

}  // extern "C"
