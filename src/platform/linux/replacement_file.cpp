#include "platform/replacement_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace vantrel {
namespace {

constexpr std::size_t buffer_capacity = 64 * 1024;
constexpr unsigned name_attempts = 16;
// As many symbolic links as the kernel follows before it gives up with ELOOP.
constexpr int link_hops = 40;

[[noreturn]] void throw_errno(const char* operation, int code = errno) {
    throw std::system_error(code, std::generic_category(), operation);
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string link_content(const std::string& link) {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t size = ::readlink(link.c_str(), buffer.data(), buffer.size());
        if (size < 0) throw_errno("readlink");
        if (static_cast<std::size_t>(size) < buffer.size()) return std::string(buffer.data(), size);
        buffer.resize(buffer.size() * 2);
    }
}

// The file an open() of path writes to: symbolic links in the last component followed as the
// kernel follows them, a relative one from the directory of the link that holds it. Replacing
// that file, not the link, keeps the host's link in place.
std::string final_target(std::string path, std::optional<struct stat>& existing) {
    for (int hop = 0; hop <= link_hops; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            if (errno != ENOENT) throw_errno("lstat");
            existing.reset();
            return path;
        }
        if (!S_ISLNK(info.st_mode)) {
            existing = info;
            return path;
        }
        const std::string link = link_content(path);
        path = link.rfind('/', 0) == 0 ? link : directory_of(path) + link;
    }
    throw_errno("open", ELOOP);
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

class Descriptor {
public:
    Descriptor() = default;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd; }
    void reset(int next) {
        if (fd >= 0) ::close(fd);
        fd = next;
    }
    // Closes now and reports failure, which for a written file can mean lost data.
    void close() {
        const int closing = fd;
        fd = -1;
        if (::close(closing) != 0 && errno != EINTR) throw_errno("close");
    }

private:
    int fd = -1;
};

// A file this writer made, removed again unless it was moved into place.
class TemporaryFile {
public:
    TemporaryFile() = default;
    ~TemporaryFile() {
        if (!name.empty()) ::unlink(name.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Creates it exclusively beside target; returns its descriptor.
    int create(const std::string& target, mode_t mode) {
        for (unsigned attempt = 0;; ++attempt) {
            const std::string candidate = temporary_name(target, attempt);
            const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd >= 0) {
                name = candidate;
                return fd;
            }
            if (errno != EEXIST || attempt == name_attempts) throw_errno("open");
        }
    }
    void move_to(const std::string& target) {
        if (std::rename(name.c_str(), target.c_str()) != 0) throw_errno("rename");
        name.clear();
    }

private:
    std::string name;
};

// A regular file with no other name can be replaced whole without the host noticing; a second
// hard link, a FIFO or a device would lose what the host set up there.
bool replaceable(const std::optional<struct stat>& existing) {
    return !existing || (S_ISREG(existing->st_mode) && existing->st_nlink == 1);
}

// The old file's owner, group and mode on the new one, where this process may set them.
void take_identity(int fd, const struct stat& old) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    if (::fchmod(fd, old.st_mode & 07777) != 0) throw_errno("fchmod");
}

}  // namespace

struct ReplacementFile::State {
    std::string target;                 // the file that is replaced or written in place
    std::optional<struct stat> existing;  // what stood there when the write began
    TemporaryFile temporary;            // unused when writing in place
    Descriptor file;
    std::vector<char> buffer;

    void write_all(const char* data, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t written = ::write(file.get(), data + done, size - done);
            if (written < 0 && errno == EINTR) continue;
            if (written < 0) throw_errno("write");
            done += static_cast<std::size_t>(written);
        }
    }

    void flush() {
        write_all(buffer.data(), buffer.size());
        buffer.clear();
    }

    bool in_place() const { return !replaceable(existing); }

    // Refuses to move the new file over anything that became other than a plain file meanwhile:
    // as root, a rename would replace a device node itself.
    void check_target_unchanged() const {
        struct stat now {};
        if (::lstat(target.c_str(), &now) != 0) {
            if (errno == ENOENT) return;
            throw_errno("lstat");
        }
        if (!S_ISREG(now.st_mode) || now.st_nlink != 1) throw_errno("rename", EEXIST);
    }
};

ReplacementFile::ReplacementFile(const utf16_string& path) : state(std::make_unique<State>()) {
    const std::string given = to_utf8(path);
    state->target = final_target(given, state->existing);
    if (state->in_place()) {
        // Opened by the host's own path, as a plain open would: truncated, then filled.
        const int fd = ::open(given.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) throw_errno("open");
        state->file.reset(fd);
    } else {
        // A new file gets 0666 under the umask, as a plain create; a replaced one stays private
        // until it takes the old file's mode.
        state->file.reset(state->temporary.create(state->target, state->existing ? 0600 : 0666));
    }
    state->buffer.reserve(buffer_capacity);
}

ReplacementFile::~ReplacementFile() = default;

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
    if (state->in_place()) return state->file.close();
    if (state->existing) take_identity(state->file.get(), *state->existing);
    state->file.close();
    state->check_target_unchanged();
    state->temporary.move_to(state->target);
}

}  // namespace vantrel
