// One debug notice per loader call; loading never fails on the library's account.

#include <spdlog/spdlog.h>

#include "platform/loader.h"

namespace {

const char* loader_notice(DWORD reason) {
    switch (reason) {
        case DLL_PROCESS_DETACH: return "DllMain(): Process detach";
        case DLL_PROCESS_ATTACH: return "DllMain(): Process attach";
        case DLL_THREAD_ATTACH: return "DllMain(): Thread attach";
        case DLL_THREAD_DETACH: return "DllMain(): Thread detach";
        default: return nullptr;
    }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    try {
        if (const char* notice = loader_notice(reason)) spdlog::debug(notice);
    } catch (...) {
    }
    return TRUE;
}
