#pragma once
// System calls of a test program that fail on request, as a file system or a folder that the
// machine does not have would fail them. Compiled into one test program only (it defines the
// C library's names, so every caller in that program goes through it), never into a library.

namespace vantrel::test {

enum class Call {
    unnamed_file,      // open(..., O_TMPFILE): a file system without unnamed files
    exclusive_create,  // openat(..., O_CREAT | O_EXCL): a folder that takes no new name
    link,              // linkat
    rename_noreplace,  // renameat2(..., RENAME_NOREPLACE)
    rename_replace,    // renameat2(..., 0)
    change_owner,      // fchown
    set_attribute,     // fsetxattr
};

// Every such call fails with error while this lives.
class FailingCall {
public:
    FailingCall(Call call, int error);
    ~FailingCall();
    FailingCall(const FailingCall&) = delete;
    FailingCall& operator=(const FailingCall&) = delete;

    // How many calls it has failed.
    int failed() const;

private:
    Call call;
};

}  // namespace vantrel::test
