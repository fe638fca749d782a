#include "platform/linux/file_identity.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/xattr.h>

#include <vector>

namespace vantrel {
namespace {

// The names of fd's extended attributes that the kernel shows this process.
bool attribute_names(int fd, std::vector<std::string>& names) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;  // a file system without them has none
    std::string list(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::flistxattr(fd, list.data(), list.size());
    if (got < 0) return false;
    for (std::size_t at = 0; at < static_cast<std::size_t>(got); at = list.find('\0', at) + 1) {
        names.emplace_back(list.c_str() + at);
    }
    return true;
}

bool attribute(int fd, const std::string& name, std::string& value) {
    const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<std::size_t>(size));
    return ::fgetxattr(fd, name.c_str(), value.data(), value.size()) == size;
}

bool listed(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& one : names) {
        if (one == name) return true;
    }
    return false;
}

// Gives fd exactly the extended attributes of from; a new file may have some of its own (the
// folder's default ACL, the label the policy gives), which go unless from has them too.
bool copy_attributes(int from, int fd) {
    std::vector<std::string> wanted;
    std::vector<std::string> present;
    if (!attribute_names(from, wanted) || !attribute_names(fd, present)) return false;
    for (const std::string& name : present) {
        if (!listed(wanted, name) && ::fremovexattr(fd, name.c_str()) != 0) return false;
    }
    std::string value;
    std::string there;
    for (const std::string& name : wanted) {
        if (!attribute(from, name, value)) return false;
        if (listed(present, name) && attribute(fd, name, there) && there == value) continue;
        if (::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) return false;
    }
    return true;
}

}  // namespace

bool names_file(int folder, const std::string& name, const struct stat& file) {
    struct stat there {};
    return ::fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
           there.st_dev == file.st_dev && there.st_ino == file.st_ino;
}

bool locate(int fd, const struct stat& file, Descriptor& folder, std::string& name) {
    std::vector<char> buffer(PATH_MAX);
    const ssize_t size = ::readlink(descriptor_path(fd).c_str(), buffer.data(), buffer.size());
    if (size <= 0 || size >= PATH_MAX || buffer[0] != '/') return false;
    const std::string where(buffer.data(), static_cast<std::size_t>(size));
    const std::size_t slash = where.rfind('/');
    name = where.substr(slash + 1);
    folder.reset(::open(slash == 0 ? "/" : where.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return folder.valid() && names_file(folder.get(), name, file);
}

bool take_identity(int fd, int old_fd, const struct stat& old) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 || !copy_attributes(old_fd, fd)) return false;
    // After the ACL, whose mask the mode then sets as the old file has it.
    if (::fchmod(fd, old.st_mode & 01777) != 0) throw_errno("fchmod");
    return true;
}

}  // namespace vantrel
