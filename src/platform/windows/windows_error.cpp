#include "platform/windows/windows_error.h"

#include <windows.h>

namespace vantrel {
namespace {

std::string narrow(const wchar_t* text, int length) {
    if (length <= 0) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

class WindowsCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "windows"; }

    std::string message(int code) const override {
        wchar_t* buffer = nullptr;
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
            reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
        std::string text;
        if (length > 0 && buffer != nullptr) {
            int kept = static_cast<int>(length);
            // System messages end in a line break that would split the log line.
            while (kept > 0 && (buffer[kept - 1] == L'\r' || buffer[kept - 1] == L'\n' ||
                                buffer[kept - 1] == L' ')) {
                --kept;
            }
            text = narrow(buffer, kept);
        }
        if (buffer != nullptr) LocalFree(buffer);
        if (text.empty()) text = "Windows error " + std::to_string(static_cast<DWORD>(code));
        return text;
    }
};

}  // namespace

const std::error_category& windows_category() noexcept {
    static const WindowsCategory category;
    return category;
}

std::string windows_error_text(unsigned long code) {
    return windows_category().message(static_cast<int>(code));
}

void throw_windows_error(const std::string& operation, unsigned long code) {
    throw std::system_error(static_cast<int>(code), windows_category(), operation);
}

}  // namespace vantrel
