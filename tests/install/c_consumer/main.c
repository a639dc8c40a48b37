// SPDX-License-Identifier: MIT
/* A program of another project that uses the installed C API: converts IN to Xbox ADPCM OUT and
 * checks the output's format tag. Built through find_package(imabox) and through pkg-config. */
#include <imabox/xbox_audio.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static wchar_t* Wide(const char* s) {
    size_t n = mbstowcs(NULL, s, 0);
    wchar_t* w = n == (size_t)-1 ? NULL : malloc((n + 1) * sizeof(wchar_t));
    if (w)
        mbstowcs(w, s, n + 1);
    return w;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s IN.wav OUT.wav\n", argv[0]);
        return 2;
    }
    wchar_t* in = Wide(argv[1]);
    wchar_t* out = Wide(argv[2]);
    if (!in || !out || XBoxAudio(in, out) != 0)
        return 1;
    free(in);
    free(out);

    unsigned char header[22];
    FILE* f = fopen(argv[2], "rb");
    size_t got = f ? fread(header, 1, sizeof header, f) : 0;
    if (f)
        fclose(f);
    if (got != sizeof header || header[20] != 0x69 || header[21] != 0) {
        fprintf(stderr, "%s is not Xbox ADPCM\n", argv[2]);
        return 1;
    }
    if (XBoxADPCMSoundRecorderStop() != 0) { /* nothing is recording: 0, touching nothing */
        fprintf(stderr, "XBoxADPCMSoundRecorderStop without a recording did not return 0\n");
        return 1;
    }
    printf("c consumer: %s is Xbox ADPCM\n", argv[2]);
    return 0;
}
