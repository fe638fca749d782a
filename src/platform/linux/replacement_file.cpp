// How an outcome reaches its path. The kernel's own open (O_WRONLY | O_CREAT, minus the
// truncation) decides every name that is there, so the bytes go exactly where a plain open
// would put them and are refused exactly where it would refuse them.
//
// | Situation                                            | Way                                    |
// |------------------------------------------------------|----------------------------------------|
// | name free, folder makes unnamed files (O_TMPFILE)    | link: the unnamed file gets the name,  |
// |                                                      | only while it is free                  |
// | name free, no unnamed files here                     | move: a temporary file, renamed with   |
// |                                                      | RENAME_NOREPLACE                       |
// | a plain file with one link, whose folder takes a     | replace: a temporary file beside it    |
// | temporary file that can get its owner, group, mode   | with its identity, renamed over it     |
// | and extended attributes (ACL, label, user ones)      | while its name still leads to it       |
// | anything else the open accepts: other links, a FIFO, | in place: through the opened           |
// | a device, a folder that refuses, an identity that    | descriptor, truncated first            |
// | cannot be given, a name taken meanwhile, a file      |                                        |
// | system that cannot promise a free name               |                                        |
//
// A name that is taken is met at the link, after the outcome is complete; the outcome then
// takes the replace or the in-place way from the unnamed file. Nothing opens the path twice:
// restart() empties what was written. A FIFO or device written in place cannot take bytes
// back, so its outcome is held until commit().

#include "platform/replacement_file.h"

#include <fcntl.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "platform/linux/descriptor.h"
#include "platform/linux/file_identity.h"
#include "platform/linux/temporary_file.h"

namespace vantrel {
namespace {

constexpr std::size_t buffer_capacity = 64 * 1024;

// The folder part of path and its last name; false where the last part is no name ("dir/").
bool split_path(const std::string& path, std::string& folder, std::string& name) {
    const std::size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return !name.empty() && name != "." && name != "..";
}

// The path opened as open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666) opens it, minus the
// truncation: the kernel decides, with its permissions and link, FIFO and sticky protections.
Descriptor open_as_host(const std::string& path) {
    Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (!file.valid()) throw_errno("open");
    return file;
}

}  // namespace

struct ReplacementFile::State {
    std::string path;
    Descriptor unnamed;    // the link way until the name is met
    Descriptor folder;     // holds the temporary file and the name it moves to
    std::string name;
    Descriptor target;     // what the kernel opened at the path; none for a free name
    struct stat old {};
    TemporaryFile temporary;
    Descriptor output;     // the temporary file; none in place
    std::vector<char> buffer;
    bool held = false;     // in place into what cannot take bytes back

    int destination() const {
        return unnamed.valid() ? unnamed.get() : output.valid() ? output.get() : target.get();
    }

    void flush() {
        write_all(destination(), buffer.data(), buffer.size());
        buffer.clear();
    }

    void start_move(const std::string& in_folder) {
        folder.reset(::open(in_folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (folder.valid()) output = temporary.create(folder.get(), 0666);  // as a plain create
        if (!output.valid()) throw_errno("open");
    }

    void start_existing() {
        old = status_of(target.get());
        if (!start_replacement()) start_in_place();
    }

    // A plain file with one name, in a folder that is known.
    bool replaceable() {
        return S_ISREG(old.st_mode) && old.st_nlink == 1 && locate(target.get(), old, folder, name);
    }

    // The replace way, with a temporary file of its own; false where the file or its folder
    // does not allow it.
    bool start_replacement() {
        if (!replaceable()) return false;
        output = temporary.create(folder.get(), 0600);
        if (!output.valid() && errno != EACCES && errno != EPERM) throw_errno("open");
        if (output.valid() && take_identity(output.get(), target.get(), old)) return true;
        output.reset();
        temporary.remove();
        return false;
    }

    // What the plain open's truncation does; what it cannot undo is held until the end.
    void start_in_place() {
        held = !S_ISREG(old.st_mode);
        if (!held && ::ftruncate(target.get(), 0) != 0) throw_errno("ftruncate");
    }

    void restart() {
        buffer.clear();
        if (held) return;
        if (::ftruncate(destination(), 0) != 0) throw_errno("ftruncate");
        if (::lseek(destination(), 0, SEEK_SET) != 0) throw_errno("lseek");
    }

    // The name met at the end: the replace way takes the unnamed file itself where it can.
    void commit_unnamed() {
        Descriptor staged = std::move(unnamed);
        const std::string self = descriptor_path(staged.get());
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return staged.close();
        target = open_as_host(path);
        old = status_of(target.get());
        if (replaceable() && take_identity(staged.get(), target.get(), old) &&
            temporary.link(folder.get(), staged.get()) == 0) {
            output = std::move(staged);
            return commit_replacement();
        }
        if (start_replacement()) {
            copy_from(staged.get(), output.get());
            return commit_replacement();
        }
        write_in_place(staged);
    }

    // RENAME_NOREPLACE refused (a name taken meanwhile, a file system that cannot promise
    // it free) leaves the name to the kernel's open: never a move that replaces.
    void commit_move() {
        output.close();
        const int error = temporary.move_to(name, RENAME_NOREPLACE);
        if (error == 0) return;
        if (error != EEXIST && error != EINVAL) throw_errno("rename", error);
        target = open_as_host(path);
        old = status_of(target.get());
        write_in_place(temporary.open_for_reading());
    }

    // Over the opened file while the name still leads to it; in place where the folder refuses.
    void commit_replacement() {
        output.close();
        if (status_of(target.get()).st_nlink == 1 && names_file(folder.get(), name, old)) {
            const int error = temporary.move_to(name, 0);
            if (error == 0) return;
            if (error != EACCES && error != EPERM) throw_errno("rename", error);
        }
        write_in_place(temporary.open_for_reading());
    }

    void write_in_place(const Descriptor& source) {
        if (!source.valid()) throw_errno("open");
        if (S_ISREG(old.st_mode) && ::ftruncate(target.get(), 0) != 0) throw_errno("ftruncate");
        copy_from(source.get(), target.get());
        temporary.remove();
        target.close();
    }
};

ReplacementFile::ReplacementFile(const utf16_string& path) : state(std::make_unique<State>()) {
    State& s = *state;
    s.path = to_utf8(path);
    s.buffer.reserve(buffer_capacity);
    std::string folder;
    const bool named = split_path(s.path, folder, s.name);
    if (named) s.unnamed.reset(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    if (s.unnamed.valid()) return;
    struct stat there {};
    if (named && ::stat(s.path.c_str(), &there) != 0 && errno == ENOENT) {
        s.start_move(folder);
    } else {
        s.target = open_as_host(s.path);
        s.start_existing();
    }
}

ReplacementFile::~ReplacementFile() = default;

void ReplacementFile::write(const char* data, std::size_t size) {
    if (!state->held && state->buffer.size() + size > buffer_capacity) state->flush();
    if (!state->held && size >= buffer_capacity) return write_all(state->destination(), data, size);
    state->buffer.insert(state->buffer.end(), data, data + size);
}

void ReplacementFile::restart() { state->restart(); }

void ReplacementFile::commit() {
    state->flush();
    if (state->unnamed.valid()) return state->commit_unnamed();
    if (!state->output.valid()) return state->target.close();
    if (!state->target.valid()) return state->commit_move();
    state->commit_replacement();
}

}  // namespace vantrel
