#include "platform/replacement_file.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

namespace vantrel {
namespace {

constexpr std::size_t buffer_capacity = 64 * 1024;

[[noreturn]] void throw_errno(const char* operation) {
    throw std::system_error(errno, std::generic_category(), operation);
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Unique among the threads of all processes writing to the directory, and short enough
// that a long target name cannot push it over the file system's name limit.
std::string temporary_name(const std::string& path, unsigned attempt) {
    // Asked once per thread: two system calls per result file otherwise. A clash (a thread
    // that forked keeps its parent's numbers) only costs another attempt, as O_EXCL sees it.
    thread_local const std::string process_and_thread =
        std::to_string(getpid()) + "-" + std::to_string(syscall(SYS_gettid)) + "-";
    return directory_of(path) + ".vantrel-" + process_and_thread + std::to_string(attempt) + ".tmp";
}

}  // namespace

struct ReplacementFile::State {
    std::string target;
    std::string temporary;
    int fd = -1;
    bool committed = false;
    std::vector<char> buffer;

    void write_all(const char* data, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t written = ::write(fd, data + done, size - done);
            if (written < 0 && errno == EINTR) continue;
            if (written < 0) throw_errno("write");
            done += static_cast<std::size_t>(written);
        }
    }

    void flush() {
        write_all(buffer.data(), buffer.size());
        buffer.clear();
    }

    void close_file() {
        const int closing = fd;
        fd = -1;
        if (::close(closing) != 0 && errno != EINTR) throw_errno("close");
    }
};

ReplacementFile::ReplacementFile(const utf16_string& path) : state(std::make_unique<State>()) {
    state->target = to_utf8(path);
    // Mode 0666 under the umask: the same permissions a plain create of the target gets.
    for (unsigned attempt = 0; state->fd < 0; ++attempt) {
        state->temporary = temporary_name(state->target, attempt);
        state->fd = ::open(state->temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (state->fd < 0 && (errno != EEXIST || attempt == 16)) throw_errno("open");
    }
    state->buffer.reserve(buffer_capacity);
}

ReplacementFile::~ReplacementFile() {
    if (state->fd >= 0) ::close(state->fd);
    if (!state->committed) ::unlink(state->temporary.c_str());
}

void ReplacementFile::write(const char* data, std::size_t size) {
    if (state->buffer.size() + size > buffer_capacity) state->flush();
    if (size >= buffer_capacity) {
        state->write_all(data, size);
        return;
    }
    state->buffer.insert(state->buffer.end(), data, data + size);
}

void ReplacementFile::commit() {
    state->flush();
    state->close_file();
    if (std::rename(state->temporary.c_str(), state->target.c_str()) != 0) throw_errno("rename");
    state->committed = true;
}

}  // namespace vantrel
