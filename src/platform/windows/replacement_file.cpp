#include "platform/replacement_file.h"

#include <windows.h>

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

// Everything up to and including the last separator; a drive prefix ("C:name") counts.
std::wstring directory_of(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/:");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
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

}  // namespace

struct ReplacementFile::State {
    std::wstring target;
    std::wstring temporary;
    Handle file;
    bool moved = false;
    std::vector<char> buffer;

    void flush() {
        write_all(file.get(), buffer.data(), buffer.size(), "WriteFile");
        buffer.clear();
    }

    // The fallback when the target cannot be replaced: its own bytes are overwritten by the
    // temporary file's. Readers may then see a partly written file, but the outcome arrives.
    void copy_over_target(DWORD refusal) {
        const std::string context =
            "MoveFileExW refused (" + windows_error_text(refusal) + "), writing in place: ";
        Handle source(CreateFileW(temporary.c_str(), GENERIC_READ, share_all, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!source.valid()) throw_windows_error(context + "CreateFileW", GetLastError());
        Handle destination(CreateFileW(target.c_str(), GENERIC_WRITE, share_all, nullptr,
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
    for (unsigned attempt = 0; !state->file.valid(); ++attempt) {
        state->temporary = temporary_name(state->target, attempt);
        state->file.assign(CreateFileW(state->temporary.c_str(), GENERIC_WRITE, share_all,
                                       nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (state->file.valid()) break;
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS || attempt == name_attempts) {
            throw_windows_error("CreateFileW", error);
        }
    }
    state->buffer.reserve(buffer_capacity);
}

ReplacementFile::~ReplacementFile() {
    if (state->file.valid()) state->file.assign(INVALID_HANDLE_VALUE);
    if (!state->moved) DeleteFileW(state->temporary.c_str());
}

void ReplacementFile::write(const char* data, std::size_t size) {
    if (state->buffer.size() + size > buffer_capacity) state->flush();
    if (size >= buffer_capacity) {
        write_all(state->file.get(), data, size, "WriteFile");
        return;
    }
    state->buffer.insert(state->buffer.end(), data, data + size);
}

void ReplacementFile::commit() {
    state->flush();
    state->file.close("CloseHandle");
    if (MoveFileExW(state->temporary.c_str(), state->target.c_str(),
                    MOVEFILE_REPLACE_EXISTING)) {
        state->moved = true;
        return;
    }
    const DWORD refusal = GetLastError();
    // Another process holding the target open without FILE_SHARE_DELETE refuses the rename;
    // anything else is a real failure.
    if (refusal != ERROR_ACCESS_DENIED && refusal != ERROR_SHARING_VIOLATION) {
        throw_windows_error("MoveFileExW", refusal);
    }
    state->copy_over_target(refusal);
}

}  // namespace vantrel
