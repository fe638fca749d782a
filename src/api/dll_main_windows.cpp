// The Windows loader's entry point: one debug notice per call, and loading never fails on the
// library's account.

#include <windows.h>

#include "api/loader_notice.h"

static_assert(vantrel::process_detach == DLL_PROCESS_DETACH && vantrel::process_attach == DLL_PROCESS_ATTACH &&
              vantrel::thread_attach == DLL_THREAD_ATTACH && vantrel::thread_detach == DLL_THREAD_DETACH);

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    vantrel::log_loader_notice(reason);
    return TRUE;
}
