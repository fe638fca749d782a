#pragma once
// The loader's entry point. Windows calls DllMain itself; elsewhere the load and unload
// hooks of the platform folder call it with the process reasons.

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
using HINSTANCE = void*;
using DWORD = std::uint32_t;
using LPVOID = void*;
using BOOL = int;
#define WINAPI
#define TRUE 1
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
#endif

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);
