/* imabox C API: the library's exported functions.
 *
 * Paths are null-terminated wide-character strings. On POSIX they are converted to UTF-8 before
 * the file is opened.
 */
#ifndef IMABOX_XBOX_AUDIO_H
#define IMABOX_XBOX_AUDIO_H

#include <stdint.h>
#include <wchar.h>

#if defined(_WIN32)
#if defined(IMABOX_BUILDING_LIBRARY)
/* imabox.dll's exports and their ordinals come from its module-definition file alone. */
#define IMABOX_API
#else
#define IMABOX_API __declspec(dllimport)
#endif
#else
#define IMABOX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Converts a 16-bit PCM WAVE file to Xbox ADPCM, or an Xbox ADPCM WAVE file (format tag 0x0069)
 * to 16-bit PCM; the input's format tag chooses the direction. Progress goes to standard output.
 * Returns 0 on success. On any failure it prints "ERROR: <message>" to standard output and ends
 * the calling process with exit status -1 (255 as POSIX reports it): it does not return. */
IMABOX_API int32_t XBoxAudio(const wchar_t* inputPath, const wchar_t* outputPath);

#ifdef __cplusplus
}
#endif

#endif /* IMABOX_XBOX_AUDIO_H */
