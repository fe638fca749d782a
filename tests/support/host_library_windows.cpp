// The host side on Windows: LoadLibraryW from the test program's folder, and scenarios in
// child processes that start this program again as `<program> --scenario NAME ARGS...`.

#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/host_library.h"

namespace vantrel::test {

std::map<std::string, Scenario>& scenarios();

namespace {

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

std::wstring program_dir() {
    const std::wstring path = program_path();
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

const wchar_t* library_name(Build build) { return build == Build::debug ? L"vantrel_debug.dll" : L"vantrel.dll"; }

std::string read_capture(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace

Exports load_library(Build build) {
    const std::wstring path = program_dir() + library_name(build);
    Exports exports;
    const HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) {
        std::fprintf(stderr, "LoadLibraryW(%s) failed: error %lu\n", utf8(path).c_str(), GetLastError());
        std::fflush(stderr);
        std::_Exit(90);
    }
    exports.module = module;
    bind(module, "cVantrelInit", exports.init);
    bind(module, "cVantrelDeinit", exports.deinit);
    bind(module, "cVantrel", exports.query);
    bind(module, "cVantrelExec", exports.exec);
    return exports;
}

bool free_library(const Exports& exports) { return FreeLibrary(static_cast<HMODULE>(exports.module)) != 0; }

bool library_loaded(Build build) { return GetModuleHandleW(library_name(build)) != nullptr; }

// The child process and the file its standard output and error go to.
struct Child::Process {
    PROCESS_INFORMATION info{};
    std::wstring output_path;
    bool waited = false;
};

Child::Child(const std::string& scenario, const Args& args) : process(std::make_unique<Process>()) {
    wchar_t temp[MAX_PATH + 1];
    wchar_t file[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    GetTempFileNameW(temp, L"vtc", 0, file);
    process->output_path = file;

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE output = CreateFileW(process->output_path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    const HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr);
    if (output == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create child output file");

    std::wstring command = quote(program_path()) + L" --scenario " + text(scenario);
    for (const std::wstring& arg : args) command += L" " + quote(arg);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    const BOOL created = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process->info);
    const DWORD error = GetLastError();
    CloseHandle(output);
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    if (!created) {
        DeleteFileW(process->output_path.c_str());
        throw std::runtime_error("CreateProcessW failed: error " + std::to_string(error));
    }
}

Child::~Child() {
    if (!process->waited) wait(0);
    CloseHandle(process->info.hThread);
    CloseHandle(process->info.hProcess);
    DeleteFileW(process->output_path.c_str());
}

HostRun Child::wait(int timeout_seconds) {
    process->waited = true;
    HostRun run;
    const DWORD limit = static_cast<DWORD>(timeout_seconds) * 1000 * time_scale();
    if (WaitForSingleObject(process->info.hProcess, limit) != WAIT_OBJECT_0) {
        TerminateProcess(process->info.hProcess, 124);
        WaitForSingleObject(process->info.hProcess, INFINITE);
        run.timed_out = true;
    }
    DWORD code = 0;
    GetExitCodeProcess(process->info.hProcess, &code);
    if (!run.timed_out) run.exit_code = static_cast<int>(code);
    run.output = read_capture(process->output_path);
    return run;
}

namespace {

PROCESS_MEMORY_COUNTERS memory_counters() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) counters = {};
    return counters;
}

}  // namespace

long resident_kib() { return static_cast<long>(memory_counters().WorkingSetSize / 1024); }

long peak_resident_kib() { return static_cast<long>(memory_counters().PeakWorkingSetSize / 1024); }

// Neither EmptyWorkingSet nor SetProcessWorkingSetSize(-1, -1) touches PeakWorkingSetSize: they
// only page the working set out, which would make the next resident sizes read low.
bool reset_peak_resident() { return false; }

double heap_in_use_kib() {
    std::vector<HANDLE> heaps(64);
    for (;;) {
        const DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
        if (count <= heaps.size()) {
            heaps.resize(count);
            break;
        }
        heaps.resize(count);
    }
    unsigned long long busy = 0;
    for (const HANDLE heap : heaps) {
        // Locked, so that the walk sees one state of a heap that worker threads share.
        if (!HeapLock(heap)) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heap, &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
        }
        HeapUnlock(heap);
    }
    return static_cast<double>(busy) / 1024;
}

bool run_scenario_child(int& exit_code) {
    int count = 0;
    LPWSTR* wide_argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide_argv == nullptr) return false;
    if (count < 3 || std::wstring(wide_argv[1]) != L"--scenario") {
        LocalFree(wide_argv);
        return false;
    }
    const std::string name = utf8(wide_argv[2]);
    const Args args(wide_argv + 3, wide_argv + count);
    LocalFree(wide_argv);
    const auto found = scenarios().find(name);
    if (found == scenarios().end()) {
        std::fprintf(stderr, "unknown scenario %s\n", name.c_str());
        exit_code = 92;
        return true;
    }
    exit_code = found->second(args);
    std::fflush(nullptr);
    std::exit(exit_code);
}

}  // namespace vantrel::test
