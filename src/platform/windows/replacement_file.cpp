#include "platform/replacement_file.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/windows/windows_error.h"

namespace vantrel {
namespace {

constexpr std::size_t buffer_capacity = 64 * 1024;
constexpr unsigned name_attempts = 16;
// WriteFile takes a DWORD count; larger writes go in pieces of this size.
constexpr std::size_t largest_write = 1u << 30;
// Other processes may read, write, rename or delete the file while the library has it open.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Sharing as a plain _wfopen(path, L"w") grants it to others, so that a target is refused
// exactly where that open would be refused.
constexpr DWORD share_plain = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Where the last name of a path begins: after the last separator, or after a drive prefix
// ("C:name"). A colon after that point names a stream of the file, not a folder.
std::size_t last_name_at(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    if (separator != std::wstring::npos) return separator + 1;
    return path.size() >= 2 && path[1] == L':' ? 2 : 0;
}

// The folder part, separator or drive prefix included; empty for the current folder.
std::wstring directory_of(const std::wstring& path) { return path.substr(0, last_name_at(path)); }

// "name.txt:stream": written in place, as a stream cannot be replaced by a moved file.
bool names_stream(const std::wstring& path) {
    return path.find(L':', last_name_at(path)) != std::wstring::npos;
}

// The full form of a path, or empty when the system cannot form it.
std::wstring full_path_of(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (size == 0) return std::wstring();
        if (size < full.size()) {
            full.resize(size);
            return full;
        }
        full.resize(size);
    }
}

// "\\?\C:\..." or "\\?\UNC\server\share\...": no MAX_PATH limit applies to it.
std::wstring long_path_form(const std::wstring& full) {
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Unique among the threads of all processes writing to the directory. The name is longer than
// many a target's, so beside a path just under MAX_PATH it takes the long-path form: a target
// that a plain open can write is not refused for its temporary file's length.
std::wstring temporary_name(const std::wstring& path, unsigned attempt) {
    const std::wstring name = directory_of(path) + L".vantrel-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(GetCurrentThreadId()) + L"-" +
                              std::to_wstring(attempt) + L".tmp";
    const std::wstring full = full_path_of(name);
    return full.size() < MAX_PATH ? name : long_path_form(full);
}

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle(handle) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    bool valid() const { return handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle; }
    void assign(HANDLE next) {
        reset();
        handle = next;
    }
    // Closes now and reports failure, which for a written file can mean lost data.
    void close(const std::string& operation) {
        const HANDLE closing = handle;
        handle = INVALID_HANDLE_VALUE;
        if (!CloseHandle(closing)) throw_windows_error(operation, GetLastError());
    }

private:
    void reset() {
        if (valid()) CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
};

void write_all(HANDLE file, const char* data, std::size_t size, const std::string& operation) {
    while (size > 0) {
        const DWORD piece = static_cast<DWORD>(size < largest_write ? size : largest_write);
        DWORD written = 0;
        if (!WriteFile(file, data, piece, &written, nullptr)) {
            throw_windows_error(operation, GetLastError());
        }
        data += written;
        size -= written;
    }
}

// A new file beside the target under a free temporary name, taken with CREATE_NEW.
void create_beside(const std::wstring& target, DWORD attributes, std::wstring& path, Handle& file) {
    for (unsigned attempt = 0;; ++attempt) {
        path = temporary_name(target, attempt);
        file.assign(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, share_all, nullptr, CREATE_NEW, attributes,
                                nullptr));
        if (file.valid()) return;
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS || attempt == name_attempts) throw_windows_error("CreateFileW", error);
    }
}

// Marks the file to be deleted when its handle closes, or takes the mark back.
void set_delete_on_close(HANDLE file, bool deleted) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = deleted ? TRUE : FALSE;
    if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) {
        throw_windows_error("SetFileInformationByHandle", GetLastError());
    }
}

// A file beside the target that the outcome is written to first. Until it is kept for the
// move, the system deletes it when its handle closes, however the process ends (an exit that
// abandons the worker included); deleted with its owner unless it has been moved into place,
// so nothing is left behind on any failure.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::wstring& target) {
        create_beside(target, FILE_ATTRIBUTE_NORMAL, path, file);
        try {
            set_delete_on_close(file.get(), true);
        } catch (...) {
            file.assign(INVALID_HANDLE_VALUE);
            DeleteFileW(path.c_str());
            throw;
        }
    }
    ~TemporaryFile() {
        file.assign(INVALID_HANDLE_VALUE);
        if (!moved) DeleteFileW(path.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    HANDLE handle() const { return file.get(); }
    const std::wstring& name() const { return path; }
    // Keeps the complete file past its handle, for the move into place.
    void close() {
        set_delete_on_close(file.get(), false);
        file.close("CloseHandle");
    }
    void mark_moved() { moved = true; }

private:
    std::wstring path;
    Handle file;
    bool moved = false;
};

// The plain open itself, truncation included: how a target written in place is opened.
HANDLE open_as_plain(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, share_plain, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// What stands at the path: nothing, a file to replace, or something written in place.
enum class Target { missing, regular_file, in_place };

struct LookedAt {
    Target kind = Target::missing;
    DWORD attributes = 0;  // of a regular file: those a new file can be given
};

// The path opened for writing as _wfopen(path, L"w") opens it, minus the truncation, so the
// system alone decides whether it may be written: the read-only attribute, the file's ACL,
// handles that other processes hold without sharing, a folder at the path. What is not a
// file on disk (a device such as NUL, a named pipe) and a file with other hard links, which a
// replacement would separate from them, are written in place through opened: a pipe through
// the handle opened here (opening a pipe takes one of its instances), a file on disk through
// the plain open, which truncates it first as a plain host's would.
LookedAt look_at_target(const std::wstring& path, Handle& opened) {
    opened.assign(CreateFileW(path.c_str(), GENERIC_WRITE, share_plain, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!opened.valid()) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return {Target::missing};
        throw_windows_error("CreateFileW", error);
    }
    if (GetFileType(opened.get()) != FILE_TYPE_DISK) return {Target::in_place};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(opened.get(), &info)) {
        throw_windows_error("GetFileInformationByHandle", GetLastError());
    }
    if (info.nNumberOfLinks > 1) {
        opened.assign(open_as_plain(path));
        if (!opened.valid()) throw_windows_error("CreateFileW", GetLastError());
        return {Target::in_place};
    }
    opened.assign(INVALID_HANDLE_VALUE);  // a held handle would refuse the replacement
    // The read-only attribute was the open's to refuse.
    constexpr DWORD carried = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    return {Target::regular_file, (info.dwFileAttributes & carried) | FILE_ATTRIBUTE_ARCHIVE};
}

// The plain open's rule for overwriting an existing file of these attributes (CREATE_ALWAYS
// refuses a hidden or system one), asked of the system itself: on an empty file beside the
// target that has them, deleted when its handles close.
void ask_plain_overwrite(const std::wstring& target, DWORD attributes) {
    std::wstring path;
    Handle twin;
    create_beside(target, attributes | FILE_FLAG_DELETE_ON_CLOSE, path, twin);
    const Handle overwritten(CreateFileW(path.c_str(), GENERIC_WRITE, share_all, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!overwritten.valid()) throw_windows_error("CreateFileW", GetLastError());
}

// ERROR_SUCCESS when this process may delete the file at path, else the system's refusal.
DWORD delete_right(const std::wstring& path) {
    const Handle file(CreateFileW(path.c_str(), DELETE, share_all, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid() ? ERROR_SUCCESS : GetLastError();
}

}  // namespace

struct ReplacementFile::State {
    std::wstring target;
    Handle in_place;                         // written in place: the target itself
    std::optional<TemporaryFile> temporary;  // otherwise
    std::vector<char> buffer;
    bool held = false;  // in place into a pipe or device, which cannot take bytes back

    HANDLE output() const { return temporary ? temporary->handle() : in_place.get(); }

    void restart() {
        buffer.clear();
        if (held) return;
        if (!SetFilePointerEx(output(), LARGE_INTEGER{}, nullptr, FILE_BEGIN)) {
            throw_windows_error("SetFilePointerEx", GetLastError());
        }
        if (!SetEndOfFile(output())) throw_windows_error("SetEndOfFile", GetLastError());
    }

    void flush() {
        write_all(output(), buffer.data(), buffer.size(), "WriteFile");
        buffer.clear();
    }

    // No temporary file could be made beside the target: a folder that refuses it, or a path
    // that names no file in a folder (a device, a pipe). The plain open decides, and the
    // outcome is written in place.
    void open_in_place() {
        if (look_at_target(target, in_place).kind != Target::in_place) {
            in_place.assign(open_as_plain(target));
            if (!in_place.valid()) throw_windows_error("CreateFileW", GetLastError());
        }
        hold_unless_disk();
    }

    void hold_unless_disk() { held = GetFileType(in_place.get()) != FILE_TYPE_DISK; }

    // Into a free name without a look at it first. A name that is taken, or one that no file
    // can be moved to (a device), is looked at as the plain open would open it; retrying: the
    // move after a replacement found the old file gone, where a taken name is written over.
    void move_into_place(bool retrying = false) {
        if (MoveFileExW(temporary->name().c_str(), target.c_str(), 0)) return temporary->mark_moved();
        const DWORD error = GetLastError();
        const std::string context = std::string("MoveFileExW refused (") + windows_error_text(error) +
                                    "), writing in place: ";
        if (retrying) return copy_over_target(context);
        const LookedAt found = look_at_target(target, in_place);
        if (found.kind == Target::missing) throw_windows_error("MoveFileExW", error);
        if (found.kind == Target::in_place) {
            copy_into(in_place.get(), "");
            return in_place.close("CloseHandle");
        }
        replace_existing(found.attributes);
    }

    // ReplaceFileW keeps the old file's attributes, security descriptor and creation time; the
    // temporary file takes the attributes too, for a ReplaceFileW that is a rename (Wine's).
    // It needs the right to delete the old file, asked of the system first: a ReplaceFileW
    // that fails part-way may leave a file of its own in the folder (Wine's does).
    void replace_existing(DWORD attributes) {
        ask_plain_overwrite(target, attributes);
        const DWORD deletable = delete_right(target);
        if (deletable != ERROR_SUCCESS && deletable != ERROR_FILE_NOT_FOUND) {
            return refused("ReplaceFileW", deletable);
        }
        if (attributes != FILE_ATTRIBUTE_ARCHIVE && !SetFileAttributesW(temporary->name().c_str(), attributes)) {
            throw_windows_error("SetFileAttributesW", GetLastError());
        }
        if (ReplaceFileW(target.c_str(), temporary->name().c_str(), nullptr,
                         REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
            return temporary->mark_moved();
        }
        const DWORD error = GetLastError();
        // Gone since the look: a new file after all. Or removed, but the new one not moved
        // in: the move brings the outcome there.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
            return move_into_place(true);
        }
        refused("ReplaceFileW", error);
    }

    // A folder without the right to delete the old file, or another process holding the
    // target open without FILE_SHARE_DELETE, refuses the replacement but not a plain open;
    // anything else is a real failure.
    void refused(const char* operation, DWORD error) {
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION &&
            error != ERROR_UNABLE_TO_REMOVE_REPLACED) {
            throw_windows_error(operation, error);
        }
        copy_over_target(std::string(operation) + " refused (" + windows_error_text(error) +
                         "), writing in place: ");
    }

    // The fallback when the target cannot be replaced: the plain open truncates it and the
    // temporary file's bytes are written into it. Readers may then see a partly written file,
    // and a failed write leaves it truncated, as the plain open and write would; no part of
    // the old content survives behind new bytes.
    void copy_over_target(const std::string& context) {
        Handle destination(open_as_plain(target));
        if (!destination.valid()) throw_windows_error(context + "CreateFileW", GetLastError());
        copy_into(destination.get(), context);
        destination.close(context + "CloseHandle");
    }

    void copy_into(HANDLE destination, const std::string& context) {
        Handle source(CreateFileW(temporary->name().c_str(), GENERIC_READ, share_all, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!source.valid()) throw_windows_error(context + "CreateFileW", GetLastError());
        std::vector<char> chunk(buffer_capacity);
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(source.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
                throw_windows_error(context + "ReadFile", GetLastError());
            }
            if (got == 0) break;
            write_all(destination, chunk.data(), got, context + "WriteFile");
        }
    }
};

// A new file, the common case, costs no look at its path: the temporary file is made first
// and moved to the name only if it is free, as on Linux. Only a name already taken is looked
// at, at the commit.
ReplacementFile::ReplacementFile(const utf16_string& path) : state(std::make_unique<State>()) {
    check_utf16(path);
    state->target.assign(path.begin(), path.end());
    state->buffer.reserve(buffer_capacity);
    if (names_stream(state->target)) {
        state->in_place.assign(open_as_plain(state->target));
        if (!state->in_place.valid()) throw_windows_error("CreateFileW", GetLastError());
        state->hold_unless_disk();
        return;
    }
    try {
        state->temporary.emplace(state->target);
    } catch (const std::system_error&) {
        state->open_in_place();
    }
}

ReplacementFile::~ReplacementFile() = default;

void ReplacementFile::write(const char* data, std::size_t size) {
    if (!state->held && state->buffer.size() + size > buffer_capacity) state->flush();
    if (!state->held && size >= buffer_capacity) {
        write_all(state->output(), data, size, "WriteFile");
        return;
    }
    state->buffer.insert(state->buffer.end(), data, data + size);
}

void ReplacementFile::restart() { state->restart(); }

void ReplacementFile::commit() {
    state->flush();
    if (!state->temporary) return state->in_place.close("CloseHandle");
    state->temporary->close();
    state->move_into_place();
}

}  // namespace vantrel
