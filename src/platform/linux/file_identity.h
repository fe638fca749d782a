#pragma once
// What makes a replacement the same file to its readers: where it is, who owns it, its mode
// and its extended attributes (the access ACL, a security label, user attributes).

#include <sys/stat.h>

#include <string>

#include "platform/linux/descriptor.h"

namespace vantrel {

// Whether folder/name is exactly the file described by file.
bool names_file(int folder, const std::string& name, const struct stat& file);

// The folder and name of the one-link file behind fd as the kernel names it, confirmed by that
// entry being the very file. False without /proc, or for a file moved meanwhile.
bool locate(int fd, const struct stat& file, Descriptor& folder, std::string& name);

// The old file's owner, group, extended attributes and mode on fd, never setuid or setgid
// (a write by anyone but root clears them too). False where the kernel refuses the owner or
// an attribute, which only writing in place keeps.
bool take_identity(int fd, int old_fd, const struct stat& old);

}  // namespace vantrel
