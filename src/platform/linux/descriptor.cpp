#include "platform/linux/descriptor.h"

#include <vector>

namespace vantrel {

void write_all(int fd, const char* data, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t written = ::write(fd, data + done, size - done);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) throw_errno("write");
        done += static_cast<std::size_t>(written);
    }
}

void copy_from(int source, int to) {
    std::vector<char> chunk(64 * 1024);
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(source, chunk.data(), chunk.size(), offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw_errno("read");
        if (got == 0) return;
        write_all(to, chunk.data(), static_cast<std::size_t>(got));
        offset += got;
    }
}

}  // namespace vantrel
