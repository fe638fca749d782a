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

// Unique among the threads of all processes writing to the directory.
std::wstring temporary_name(const std::wstring& path, unsigned attempt) {
    return directory_of(path) + L".vantrel-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetCurrentThreadId()) + L"-" + std::to_wstring(attempt) + L".tmp";
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
    void close(const char* operation) {
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

// A file beside the target that the outcome is written to first. Deleted with its owner
// unless it has been moved into place, so nothing is left behind on any failure.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::wstring& target) {
        for (unsigned attempt = 0; !file.valid(); ++attempt) {
            path = temporary_name(target, attempt);
            file.assign(CreateFileW(path.c_str(), GENERIC_WRITE, share_all, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file.valid()) break;
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS || attempt == name_attempts) {
                throw_windows_error("CreateFileW", error);
            }
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
    void close() { file.close("CloseHandle"); }
    void mark_moved() { moved = true; }

private:
    std::wstring path;
    Handle file;
    bool moved = false;
};

// How the outcome reaches the path: a new file moved into a free name, a replacement of the
// file there, or the target itself written in place.
enum class Target { missing, regular_file, in_place };

// Empties a target written in place, as the plain open's truncation would.
void truncate_in_place(HANDLE file) {
    if (GetFileType(file) != FILE_TYPE_DISK) return;
    if (!SetEndOfFile(file)) throw_windows_error("SetEndOfFile", GetLastError());
}

// The path opened for writing as _wfopen(path, L"w") opens it, minus the truncation, so the
// system alone decides whether it may be written: the read-only attribute, the file's ACL,
// handles that other processes hold without sharing, a folder at the path. What is not a
// file on disk (a device such as NUL, a named pipe) and a file with other hard links, which a
// replacement would separate from them, are written in place through the handle opened here;
// opening a pipe takes one of its instances, so this handle is the one written through.
Target look_at_target(const std::wstring& path, Handle& opened) {
    if (names_stream(path)) {
        opened.assign(CreateFileW(path.c_str(), GENERIC_WRITE, share_plain, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!opened.valid()) throw_windows_error("CreateFileW", GetLastError());
        return Target::in_place;
    }
    opened.assign(CreateFileW(path.c_str(), GENERIC_WRITE, share_plain, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!opened.valid()) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return Target::missing;
        throw_windows_error("CreateFileW", error);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(opened.get()) != FILE_TYPE_DISK ||
        (GetFileInformationByHandle(opened.get(), &info) && info.nNumberOfLinks > 1)) {
        return Target::in_place;
    }
    opened.assign(INVALID_HANDLE_VALUE);  // a held handle would refuse the replacement
    return Target::regular_file;
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
    Target kind = Target::missing;
    Handle in_place;                         // Target::in_place: the target itself
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

    // Into a name that was free; whatever took it meanwhile is written as the plain open would.
    void move_into_place() {
        if (MoveFileExW(temporary->name().c_str(), target.c_str(), 0)) return temporary->mark_moved();
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) refused("MoveFileExW", error);
        copy_over_target(std::string("MoveFileExW refused (") + windows_error_text(error) +
                         "), writing in place: ");
    }

    // ReplaceFileW keeps the old file's attributes, security descriptor and creation time.
    // It needs the right to delete the old file, asked of the system first: a ReplaceFileW
    // that fails part-way may leave a file of its own in the folder (Wine's does).
    void replace_existing() {
        const DWORD deletable = delete_right(target);
        if (deletable != ERROR_SUCCESS && deletable != ERROR_FILE_NOT_FOUND) {
            return refused("ReplaceFileW", deletable);
        }
        if (ReplaceFileW(target.c_str(), temporary->name().c_str(), nullptr,
                         REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
            return temporary->mark_moved();
        }
        const DWORD error = GetLastError();
        // Gone since the look: a new file after all. Or removed, but the new one not moved
        // in: the move brings the outcome there.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
            return move_into_place();
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

    // The fallback when the target cannot be replaced: its own bytes are overwritten by the
    // temporary file's. Readers may then see a partly written file, but the outcome arrives.
    void copy_over_target(const std::string& context) {
        Handle source(CreateFileW(temporary->name().c_str(), GENERIC_READ, share_all, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!source.valid()) throw_windows_error(context + "CreateFileW", GetLastError());
        Handle destination(CreateFileW(target.c_str(), GENERIC_WRITE, share_plain, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!destination.valid()) throw_windows_error(context + "CreateFileW", GetLastError());
        std::vector<char> chunk(buffer_capacity);
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(source.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got,
                          nullptr)) {
                throw_windows_error(context + "ReadFile", GetLastError());
            }
            if (got == 0) break;
            write_all(destination.get(), chunk.data(), got, context + "WriteFile");
        }
        // A longer old content must not survive past the new end.
        if (!SetEndOfFile(destination.get())) {
            throw_windows_error(context + "SetEndOfFile", GetLastError());
        }
        destination.close((context + "CloseHandle").c_str());
    }
};

ReplacementFile::ReplacementFile(const utf16_string& path) : state(std::make_unique<State>()) {
    check_utf16(path);
    state->target.assign(path.begin(), path.end());
    state->buffer.reserve(buffer_capacity);
    state->kind = look_at_target(state->target, state->in_place);
    if (state->kind == Target::in_place) {
        truncate_in_place(state->in_place.get());
        state->held = GetFileType(state->in_place.get()) != FILE_TYPE_DISK;
    } else {
        state->temporary.emplace(state->target);
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
    if (state->kind == Target::in_place) return state->in_place.close("CloseHandle");
    state->temporary->close();
    if (state->kind == Target::regular_file) return state->replace_existing();
    state->move_into_place();
}

}  // namespace vantrel
