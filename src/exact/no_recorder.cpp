// SPDX-License-Identifier: MIT
// The recorder exports of a library built without the recorder (IMABOX_WITH_RECORDER=OFF): the
// exported names stay, and a recording cannot start because there is no input to open.
#include "imabox/xbox_audio.h"

extern "C" IMABOX_API int32_t XBoxADPCMSoundRecorderStart(const wchar_t*) {
    return 1;  // the input device cannot be opened
}

extern "C" IMABOX_API int32_t XBoxADPCMSoundRecorderStop(void) {
    return 0;  // no recording is open
}
