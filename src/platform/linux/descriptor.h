#pragma once
// A file descriptor owned by one object, and the few calls a result file makes through one.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <system_error>
#include <utility>

namespace vantrel {

[[noreturn]] inline void throw_errno(const char* operation, int code = errno) {
    throw std::system_error(code, std::generic_category(), operation);
}

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd, -1));
        return *this;
    }

    bool valid() const { return fd >= 0; }
    int get() const { return fd; }
    void reset(int next = -1) {
        if (fd >= 0) ::close(fd);
        fd = next;
    }
    // Reports a failed close, which for a written file can mean lost data.
    void close() {
        if (::close(std::exchange(fd, -1)) != 0 && errno != EINTR) throw_errno("close");
    }

private:
    int fd = -1;
};

inline struct stat status_of(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw_errno("fstat");
    return info;
}

// The name /proc gives the file behind fd.
inline std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void write_all(int fd, const char* data, std::size_t size);
// Everything source holds from its start, appended to to.
void copy_from(int source, int to);

}  // namespace vantrel
