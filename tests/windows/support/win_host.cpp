#include "support/win_host.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vantrel::wintest {
namespace {

std::map<std::string, Scenario>& scenarios() {
    static std::map<std::string, Scenario> registry;
    return registry;
}

// GetProcAddress yields a generic function pointer; void (*)() converts to any function type
// without a cast warning.
template <typename Function>
void bind(HMODULE module, const char* name, Function& target) {
    const FARPROC symbol = GetProcAddress(module, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "missing export %s\n", name);
        std::fflush(stderr);
        std::_Exit(91);
    }
    target = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(symbol));
}

// One argument quoted as CommandLineToArgvW reads it back.
std::wstring quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

std::wstring program_path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

unsigned time_scale() {
    const std::string value = environment("VANTREL_TEST_TIME_SCALE");
    const unsigned long scale = value.empty() ? 1 : std::strtoul(value.c_str(), nullptr, 10);
    return scale == 0 ? 1 : static_cast<unsigned>(scale);
}

Exports load_library(const std::wstring& dll_name) {
    const std::wstring path = program_dir() + dll_name;
    Exports exports;
    exports.module = LoadLibraryW(path.c_str());
    if (exports.module == nullptr) {
        std::fprintf(stderr, "LoadLibraryW(%s) failed: error %lu\n", narrow(path).c_str(),
                     GetLastError());
        std::fflush(stderr);
        std::_Exit(90);
    }
    bind(exports.module, "cVantrelInit", exports.init);
    bind(exports.module, "cVantrelDeinit", exports.deinit);
    bind(exports.module, "cVantrel", exports.query);
    bind(exports.module, "cVantrelExec", exports.exec);
    return exports;
}

ScenarioRegistration::ScenarioRegistration(const char* name, Scenario scenario) {
    scenarios()[name] = scenario;
}

Child::Child(const std::string& scenario, const Args& args) {
    wchar_t temp[MAX_PATH + 1];
    wchar_t file[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    GetTempFileNameW(temp, L"vtc", 0, file);
    output_path = file;

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE output = CreateFileW(output_path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    const HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr);
    if (output == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create child output file");

    std::wstring command = quote(program_path()) + L" --scenario " + widen(scenario);
    for (const std::wstring& arg : args) command += L" " + quote(arg);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    const BOOL created = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    const DWORD error = GetLastError();
    CloseHandle(output);
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    if (!created) {
        throw std::runtime_error("CreateProcessW failed: error " + std::to_string(error));
    }
}

Child::~Child() {
    if (!waited) wait(0);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    DeleteFileW(output_path.c_str());
}

HostRun Child::wait(unsigned long timeout_ms) {
    waited = true;
    HostRun run;
    if (WaitForSingleObject(process.hProcess, timeout_ms * time_scale()) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 124);
        WaitForSingleObject(process.hProcess, INFINITE);
        run.timed_out = true;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    run.exit_code = code;
    run.output = read_file(output_path);
    return run;
}

HostRun run_scenario(const std::string& scenario, const Args& args, unsigned long timeout_ms) {
    Child child(scenario, args);
    return child.wait(timeout_ms);
}

int test_main(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide_argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide_argv != nullptr && count >= 3 && std::wstring(wide_argv[1]) == L"--scenario") {
        const auto found = scenarios().find(narrow(wide_argv[2]));
        if (found == scenarios().end()) {
            std::fprintf(stderr, "unknown scenario %s\n", narrow(wide_argv[2]).c_str());
            return 92;
        }
        const Args args(wide_argv + 3, wide_argv + count);
        LocalFree(wide_argv);
        const int code = found->second(args);
        std::fflush(nullptr);
        std::exit(code);
    }
    if (wide_argv != nullptr) LocalFree(wide_argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

std::string test_conninfo() {
    const std::string conninfo = environment("VANTREL_TEST_CONNINFO");
    if (!conninfo.empty()) return conninfo;
    const std::string dir = environment("VANTREL_TEST_PG_DIR");
    if (dir.empty()) return std::string();
    std::string text = read_file(widen(dir + "/conninfo"));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                         static_cast<int>(utf8.size()), nullptr, 0);
    if (size <= 0) throw std::runtime_error("not UTF-8: " + utf8);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                        out.data(), size);
    return out;
}

std::string narrow(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

std::wstring program_dir() {
    const std::wstring path = program_path();
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring make_temp_dir() {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    for (unsigned attempt = 0;; ++attempt) {
        const std::wstring dir = std::wstring(temp) + L"vantrel-test-" +
                                 std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(attempt);
        if (CreateDirectoryW(dir.c_str(), nullptr)) return dir + L"\\";
        if (GetLastError() != ERROR_ALREADY_EXISTS || attempt > 100) {
            throw std::runtime_error("cannot create a temporary folder");
        }
    }
}

void remove_tree(const std::wstring& dir) {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(dir), ignored);
}

std::string read_file(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool file_exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void write_file(const std::wstring& path, const std::string& content) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + narrow(path));
}

std::vector<std::wstring> names_starting_with(const std::wstring& dir, const std::wstring& prefix) {
    std::vector<std::wstring> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(dir))) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    return names;
}

bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace vantrel::wintest
