#pragma once
// A named file of the library's own in a folder, for an outcome on its way to the path.

#include <fcntl.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/linux/descriptor.h"

namespace vantrel {

constexpr unsigned temporary_name_attempts = 16;

// Unique among the threads of all processes writing to the folder, and short enough that a
// long target name cannot push it over the file system's name limit.
inline std::string temporary_name(unsigned attempt) {
    // Asked once per thread; a clash (a forked child keeps the numbers) costs one more attempt.
    thread_local const std::string process_and_thread =
        std::to_string(getpid()) + "-" + std::to_string(syscall(SYS_gettid)) + "-";
    return ".vantrel-" + process_and_thread + std::to_string(attempt) + ".tmp";
}

// A name in a folder for the outcome, removed again unless it was moved into place.
class TemporaryFile {
public:
    TemporaryFile() = default;
    ~TemporaryFile() { remove(); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // A new file under the name; invalid with errno set where the folder refuses it.
    Descriptor create(int in_folder, mode_t mode) {
        int fd = -1;
        errno = take_name(in_folder, [&](const std::string& name) {
            fd = ::openat(in_folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            return fd >= 0 ? 0 : errno;
        });
        return Descriptor(fd);
    }
    // The unnamed file behind fd given the name: 0 or errno.
    int link(int in_folder, int fd) {
        return take_name(in_folder, [&](const std::string& name) {
            return ::linkat(AT_FDCWD, descriptor_path(fd).c_str(), in_folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0
                       ? 0 : errno;
        });
    }
    void remove() {
        if (folder >= 0) ::unlinkat(folder, name.c_str(), 0);
        folder = -1;
    }
    Descriptor open_for_reading() const { return Descriptor(::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC)); }
    // 0, or the errno of a move that moved nothing.
    int move_to(const std::string& target, unsigned flags) {
        if (::renameat2(folder, name.c_str(), folder, target.c_str(), flags) != 0) return errno;
        folder = -1;
        return 0;
    }

private:
    template <typename Make>
    int take_name(int in_folder, Make make) {
        for (unsigned attempt = 0;; ++attempt) {
            std::string candidate = temporary_name(attempt);  // may throw: nothing is made yet
            const int error = make(candidate);
            if (error == 0) {
                name.swap(candidate);
                folder = in_folder;
            }
            if (error != EEXIST || attempt == temporary_name_attempts) return error;
        }
    }

    int folder = -1;  // borrowed from the owner
    std::string name;
};

}  // namespace vantrel
