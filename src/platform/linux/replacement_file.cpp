#include "platform/replacement_file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace vantrel {
namespace {

constexpr std::size_t buffer_capacity = 64 * 1024;
constexpr unsigned name_attempts = 16;

[[noreturn]] void throw_errno(const char* operation, int code = errno) {
    throw std::system_error(code, std::generic_category(), operation);
}

// A folder that refuses a new entry, or the removal of the old one.
bool refused_by_folder(int code) { return code == EACCES || code == EPERM; }

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(Descriptor&& other) noexcept : fd(other.fd) { other.fd = -1; }
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
    // Closes now and reports failure, which for a written file can mean lost data.
    void close() {
        const int closing = fd;
        fd = -1;
        if (::close(closing) != 0 && errno != EINTR) throw_errno("close");
    }

private:
    int fd = -1;
};

void write_all(int fd, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written = ::write(fd, data + done, size - done);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) throw_errno("write");
        done += static_cast<std::size_t>(written);
    }
}

struct stat status_of(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw_errno("fstat");
    return info;
}

bool same_file(const struct stat& one, const struct stat& other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// The host's path split where the kernel splits it for a create: the folder (held open, so
// that later renames of folders do not matter) and the last name in it.
struct Entry {
    Descriptor folder;
    std::string name;
};

bool open_folder(const std::string& folder, Entry& entry) {
    entry.folder.reset(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return entry.folder.valid();
}

// The folder part of path and its last name. False for a path whose last part is no name
// ("dir/", "."), which only the kernel's own open can answer.
bool split_path(const std::string& path, std::string& folder, std::string& name) {
    const std::size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return false;
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return true;
}

// False as split_path; throws when the folder cannot be reached, as the open would.
bool entry_of_path(const std::string& path, Entry& entry) {
    std::string folder;
    if (!split_path(path, folder, entry.name)) return false;
    if (!open_folder(folder, entry)) throw_errno("open");
    return true;
}

// The name /proc gives the file behind fd.
std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// A file without a name in the path's folder, made as a plain create would make one at the
// path (0666 under the umask or the folder's default ACL, this process's owner and group);
// invalid where the file system or the folder does not allow it.
Descriptor unnamed_file_for(const std::string& path) {
    std::string folder;
    std::string name;
    if (!split_path(path, folder, name)) return Descriptor();
    return Descriptor(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
}

// Gives the unnamed file behind fd the name (folder, name), only if the name is free: 0 or
// errno.
int link_unnamed(int fd, int folder, const std::string& name) {
    const std::string self = descriptor_path(fd);
    if (::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    // Without /proc, only a process that may link any file it can reach can do it by descriptor.
    if (errno == ENOENT && ::linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    return errno;
}

// Whether entry names exactly the file behind fd. A file with one link has one entry, so a
// match proves that the folder is the one the kernel opened the file in.
bool names_file(const Entry& entry, const struct stat& file) {
    struct stat there {};
    return ::fstatat(entry.folder.get(), entry.name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(there, file);
}

std::string name_in_proc(int fd) {
    const std::string link = descriptor_path(fd);
    std::vector<char> buffer(PATH_MAX);
    const ssize_t size = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (size <= 0 || static_cast<std::size_t>(size) >= buffer.size()) return std::string();
    return std::string(buffer.data(), static_cast<std::size_t>(size));
}

// The folder that holds the one-link file the kernel opened. No system call names it, so
// candidates are tried and each is accepted only when its entry is that very file: first
// the host's own path (right unless its last part is a symbolic link), then the name the
// kernel reports for the descriptor. False when neither is confirmed (no /proc, a folder
// this process cannot search, a file moved meanwhile).
bool folder_of_file(int fd, const struct stat& file, const std::string& path, Entry& entry) {
    try {
        if (entry_of_path(path, entry) && names_file(entry, file)) return true;
    } catch (const std::system_error&) {
    }
    const std::string name = name_in_proc(fd);
    const std::size_t slash = name.rfind('/');
    if (name.empty() || name[0] != '/' || slash == std::string::npos) return false;
    entry.name = name.substr(slash + 1);
    return open_folder(slash == 0 ? "/" : name.substr(0, slash), entry) && names_file(entry, file);
}

// Unique among the threads of all processes writing to the folder, and short enough that
// a long target name cannot push it over the file system's name limit.
std::string temporary_name(unsigned attempt) {
    // Asked once per thread: two system calls per result file otherwise. A clash (a thread
    // that forked keeps its parent's numbers) only costs another attempt, as O_EXCL sees it.
    thread_local const std::string process_and_thread =
        std::to_string(getpid()) + "-" + std::to_string(syscall(SYS_gettid)) + "-";
    return ".vantrel-" + process_and_thread + std::to_string(attempt) + ".tmp";
}

// A file this writer made in a folder, removed again unless it was moved into place.
class TemporaryFile {
public:
    TemporaryFile() = default;
    ~TemporaryFile() { remove(); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Creates it exclusively in the folder; -1 with errno set when the folder refuses it.
    int create(int in_folder, mode_t mode) {
        for (unsigned attempt = 0;; ++attempt) {
            std::string candidate = temporary_name(attempt);  // may throw: nothing is open yet
            const int fd = ::openat(in_folder, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd >= 0) {
                name.swap(candidate);
                folder = in_folder;
                return fd;
            }
            if (errno != EEXIST || attempt == name_attempts) return -1;
        }
    }
    // Gives the unnamed file behind fd a temporary name in the folder: 0 or errno.
    int link(int in_folder, int fd) {
        for (unsigned attempt = 0;; ++attempt) {
            std::string candidate = temporary_name(attempt);  // may throw: nothing is linked yet
            const int error = link_unnamed(fd, in_folder, candidate);
            if (error == 0) {
                name.swap(candidate);
                folder = in_folder;
                return 0;
            }
            if (error != EEXIST || attempt == name_attempts) return error;
        }
    }
    void remove() {
        if (folder >= 0) ::unlinkat(folder, name.c_str(), 0);
        folder = -1;
    }
    int open_for_reading() const { return ::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC); }
    // 0, or the failing call's errno with nothing moved.
    int move_to(const std::string& target, unsigned flags) {
        const int moved = ::renameat2(folder, name.c_str(), folder, target.c_str(), flags);
        if (moved != 0) return errno;
        folder = -1;
        return 0;
    }

private:
    int folder = -1;  // borrowed from the owner's Entry
    std::string name;
};

// The old file's owner, group and mode on the new one. The setuid and setgid bits are never
// carried over: a write by anyone but root clears them, and a result file has no use for them.
// False when the owner or group cannot be kept, which only writing in place keeps.
bool take_identity(int fd, const struct stat& old) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) return false;
    if (::fchmod(fd, old.st_mode & 01777) != 0) throw_errno("fchmod");
    return true;
}

// The host's path opened as a plain open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666) opens it,
// minus the truncation: so the kernel alone decides whether the path may be written, with
// its permission checks and its link, FIFO and sticky-folder protections.
Descriptor open_as_host(const std::string& path) {
    Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (!file.valid()) throw_errno("open");
    return file;
}

}  // namespace

// How the bytes reach the path: a new file moved into a free name, a replacement moved over
// the file the kernel opened, or that file written in place. Atomic wherever the folder lets
// a new entry in and the old one go; in place for what a replacement would lose (other hard
// links, a FIFO, a device) and where the folder refuses.
struct ReplacementFile::State {
    std::string path;
    Descriptor unnamed;       // the outcome so far, for a name that may be free
    Entry entry;              // where the temporary file goes and what it is moved to
    Descriptor target;        // the file the kernel opened at the path; none for a new one
    struct stat old {};       // target's status when it was opened
    TemporaryFile temporary;
    Descriptor output;        // the temporary file, or none when writing through target
    std::vector<char> buffer;

    int destination() const {
        return unnamed.valid() ? unnamed.get() : output.valid() ? output.get() : target.get();
    }

    void flush() {
        write_all(destination(), buffer.data(), buffer.size());
        buffer.clear();
    }

    // An entry that stat() does not find may still be there: a dangling symbolic link, whose
    // target the kernel would create. The move into place then finds the name taken and the
    // outcome goes through the kernel's open (commit_new): no second look at the name here,
    // which would cost every new file a failing lookup.
    void start_new() {
        if (!entry_of_path(path, entry)) return start_existing(open_as_host(path));
        // 0666 under the umask, as a plain create; refused exactly where it would be.
        output.reset(temporary.create(entry.folder.get(), 0666));
        if (!output.valid()) throw_errno("open");
    }

    void start_existing(Descriptor opened) {
        target = std::move(opened);
        old = status_of(target.get());
        if (!replaceable() || !start_temporary()) start_in_place();
    }

    // A plain file with one name, whose folder is known.
    bool replaceable() {
        return S_ISREG(old.st_mode) && old.st_nlink == 1 && folder_of_file(target.get(), old, path, entry);
    }

    // A temporary file beside the target, with its identity. False where the folder refuses
    // the file or the identity cannot be kept.
    bool start_temporary() {
        output.reset(temporary.create(entry.folder.get(), 0600));
        if (!output.valid()) {
            if (refused_by_folder(errno)) return false;
            throw_errno("open");
        }
        if (take_identity(output.get(), old)) return true;
        output.reset();
        temporary.remove();
        return false;
    }

    // The staged outcome itself becomes the temporary file beside the target: no copy, and
    // no second copy's worth of space. False: it has to be copied.
    bool adopt(Descriptor& staged) {
        if (!take_identity(staged.get(), old) || temporary.link(entry.folder.get(), staged.get()) != 0) {
            return false;
        }
        output = std::move(staged);
        return true;
    }

    // What the plain open's truncation would have done.
    void start_in_place() {
        if (S_ISREG(old.st_mode) && ::ftruncate(target.get(), 0) != 0) throw_errno("ftruncate");
    }

    void commit_new() {
        output.close();
        int error = temporary.move_to(entry.name, RENAME_NOREPLACE);
        // A file system that cannot promise the name is still free.
        if (error == EINVAL) error = temporary.move_to(entry.name, 0);
        if (error == 0) return;
        // Something took the name meanwhile: the kernel opens it as the host's open would.
        if (error != EEXIST) throw_errno("rename", error);
        target = open_as_host(path);
        old = status_of(target.get());
        copy_in_place();
    }

    void commit_replacement() {
        output.close();
        // Moved over only while the name still leads to the file the kernel opened.
        if (status_of(target.get()).st_nlink == 1 && names_file(entry, old)) {
            const int error = temporary.move_to(entry.name, 0);
            if (error == 0) return;
            if (!refused_by_folder(error)) throw_errno("rename", error);
        }
        copy_in_place();
    }

    // The usual case, a name that is free, costs no look at it before the outcome is complete:
    // the unnamed file simply takes the name. A name already there is met only now, and the
    // outcome then takes the way it would have taken from the start.
    void commit_unnamed() {
        Descriptor staged = std::move(unnamed);
        const int error = link_unnamed(staged.get(), AT_FDCWD, path);
        if (error == 0) return staged.close();
        if (error == EEXIST) {
            target = open_as_host(path);
            old = status_of(target.get());
            const bool replace = replaceable();
            if (!replace || !adopt(staged)) {
                if (!replace || !start_temporary()) start_in_place();
                copy_from(staged.get(), destination());
            }
        } else {
            // A folder gone meanwhile or a process that cannot link by descriptor: the way
            // of a new name with a named temporary file, which says why it fails if it does.
            start_new();
            copy_from(staged.get(), destination());
        }
        if (!output.valid()) return target.close();
        if (!target.valid()) return commit_new();
        commit_replacement();
    }

    // The outcome, already whole in the temporary file, written through the target.
    void copy_in_place() {
        const Descriptor source(temporary.open_for_reading());
        if (!source.valid()) throw_errno("open");
        start_in_place();
        copy_from(source.get(), target.get());
        target.close();
    }

    // Everything source holds from its start, appended to to.
    static void copy_from(int source, int to) {
        std::vector<char> chunk(buffer_capacity);
        for (off_t offset = 0;;) {
            const ssize_t got = ::pread(source, chunk.data(), chunk.size(), offset);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) throw_errno("read");
            if (got == 0) break;
            write_all(to, chunk.data(), static_cast<std::size_t>(got));
            offset += got;
        }
    }
};

ReplacementFile::ReplacementFile(const utf16_string& path) : state(std::make_unique<State>()) {
    state->path = to_utf8(path);
    state->buffer.reserve(buffer_capacity);
    state->unnamed = unnamed_file_for(state->path);
    if (state->unnamed.valid()) return;
    struct stat there {};
    // Where no unnamed file can be made (a file system without them, a folder this process
    // cannot write): only a name that does not exist yet is created atomically; anything else
    // is first opened by the kernel.
    if (::stat(state->path.c_str(), &there) != 0 && errno == ENOENT) {
        state->start_new();
    } else {
        state->start_existing(open_as_host(state->path));
    }
}

ReplacementFile::~ReplacementFile() = default;

void ReplacementFile::write(const char* data, std::size_t size) {
    if (state->buffer.size() + size > buffer_capacity) state->flush();
    if (size >= buffer_capacity) {
        write_all(state->destination(), data, size);
        return;
    }
    state->buffer.insert(state->buffer.end(), data, data + size);
}

void ReplacementFile::commit() {
    state->flush();
    if (state->unnamed.valid()) return state->commit_unnamed();
    if (!state->output.valid()) return state->target.close();
    if (!state->target.valid()) return state->commit_new();
    state->commit_replacement();
}

}  // namespace vantrel
