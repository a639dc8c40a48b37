// SPDX-License-Identifier: MIT
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

/* Starts recording the default audio input (on Linux, ALSA's "default" capture PCM) into a new
 * WAVE file at `path`, as 16-bit mono PCM at 8000 Hz, one whole second at a time. Returns:
 *   999  recording has started;
 *   1    the input device cannot be opened (there is none, or it is busy);
 *   2    the device refused the capture buffer;
 *   3    the device would not start;
 *   4    the file cannot be created or written: nothing was started;
 *   5    a recording is already open: it is left as it is.
 * After 1, 2 or 3 the file exists and XBoxADPCMSoundRecorderStop makes it a valid empty
 * recording. */
IMABOX_API int32_t XBoxADPCMSoundRecorderStart(const wchar_t* path);

/* Stops the recording and finishes its file. Returns the whole seconds in the file; the part of
 * a second captured last is discarded. Returns 0, touching nothing, when no recording is open. */
IMABOX_API int32_t XBoxADPCMSoundRecorderStop(void);

#ifdef __cplusplus
}
#endif

#endif /* IMABOX_XBOX_AUDIO_H */
