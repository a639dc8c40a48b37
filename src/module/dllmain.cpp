// SPDX-License-Identifier: MIT
// imabox.dll's load and unload handling. The C and C++ runtime (linked statically) runs its own
// start-up before this and its static terminators after it; no part of the library needs
// initialising or tearing down of its own.
#if defined(_WIN32)

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID /*reserved*/) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            // Thread notifications stay on: the statically linked runtime needs them to free
            // its per-thread data.
            return TRUE;
        case DLL_PROCESS_DETACH:
            // Nothing to release: the converter holds nothing between calls.
            return TRUE;
        default:
            return TRUE;
    }
}

#endif
