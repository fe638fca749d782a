#pragma once
// Helpers of the Windows-only test programs: the host-side ones every platform shares
// (tests/support), under the names this folder's tests use, and what only Windows has.

#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "support/host_files.h"
#include "support/host_library.h"
#include "support/host_side.h"

namespace vantrel::wintest {

using test::count_lines_with;
using test::HostRun;
using test::run_scenario;
using test::file_exists;
using test::library_workers;
using test::names_starting_with;
using test::read_file;
using test::remove_tree;
using test::time_scale;
using test::wait_for_file;
using test::write_file;

// A fresh empty folder under the user's temporary folder, with a trailing backslash.
inline std::wstring make_temp_dir() { return test::make_temp_folder(); }

// True under Wine, whose ntdll exports its version.
inline bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// main() of a Windows-only test program: a `--scenario` child's scenario, or else the cases.
inline int test_main(int argc, char** argv) {
    int scenario_code = 0;
    if (test::run_scenario_child(scenario_code)) return scenario_code;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

}  // namespace vantrel::wintest
