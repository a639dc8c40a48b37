/* SPDX-License-Identifier: MIT */
/* imabox codec C API: Xbox ADPCM blocks from 16-bit PCM and back, for programs that keep the
 * blocks in a container of their own (a wave bank, a game's archive, a browser's buffer).
 *
 * Xbox ADPCM is IMA ADPCM in blocks of IMABOX_BLOCK_BYTES_PER_CHANNEL (36) bytes per channel,
 * each holding IMABOX_FRAMES_PER_BLOCK (65) frames. A block of C channels is 36 * C bytes and
 * stands alone: it decodes without the blocks before it.
 *
 * Samples are interleaved signed 16-bit frames in the machine's byte order; blocks are bytes as
 * they are stored. Every function returns a status (IMABOX_OK or a negative error) or a plain
 * value, never throws and never ends the process. An encoder may be used from one thread at a
 * time; different encoders, and the decoder, may run on any threads at once.
 *
 * Link with the static library imabox_codec (CMake: imabox::codec, which imabox::core also
 * brings in). It is C++ inside, so link with the C++ compiler (in CMake, a project that enables
 * CXX; with pkg-config, c++ and imabox-cxx). The bytes an encoder writes are those of `imabox
 * encode --raw --quality N` for the same samples, and are fixed for as long as
 * imabox_encoder_revision() returns the same number.
 */
#ifndef IMABOX_CODEC_H
#define IMABOX_CODEC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this interface: raised only when it changes in a way that existing callers
 * would notice. imabox_codec_api_version() returns the number the library was built with. */
#define IMABOX_CODEC_API_VERSION 1

#define IMABOX_FRAMES_PER_BLOCK 65
#define IMABOX_BLOCK_BYTES_PER_CHANNEL 36
#define IMABOX_MAX_CHANNELS 255
#define IMABOX_MAX_QUALITY 9

typedef enum imabox_status {
    IMABOX_OK = 0,
    IMABOX_ERROR_INVALID_ARGUMENT = -1, /* a null pointer, a channel count or quality out of range,
                                           a byte count that is not whole blocks */
    IMABOX_ERROR_OUTPUT_TOO_SMALL = -2, /* the output buffer cannot hold the result: nothing done */
    IMABOX_ERROR_FINISHED = -3,         /* the encoder was finished: create a new one */
    IMABOX_ERROR_OUT_OF_MEMORY = -4,
    IMABOX_ERROR_INTERNAL = -5 /* an unexpected failure inside the library */
} imabox_status;

/* The value of IMABOX_CODEC_API_VERSION the library was built with. */
int imabox_codec_api_version(void);

/* The encoder revision: one number that names the exact bytes the encoder writes at every
 * quality (and the decoder's output). It changes whenever any of them would. */
int imabox_encoder_revision(void);

/* A short English description of a status, for messages. Never null. */
const char* imabox_status_text(imabox_status status);

/* Bytes in one block of `channels` channels (36 * channels); 0 for 0 or more than
 * IMABOX_MAX_CHANNELS channels. */
size_t imabox_block_bytes(unsigned channels);

/* An encoder: the frames of one stream go in piece by piece; whole blocks come out. */
typedef struct imabox_encoder imabox_encoder;

/* Creates an encoder for `channels` channels (1..IMABOX_MAX_CHANNELS).
 * `quality` 0 is the plain coder (each code as the usual IMA ADPCM rule picks it), fast;
 * 1..IMABOX_MAX_QUALITY search each block for the codes with the least error, slower with each
 * level. `threads` is the number of threads a searching level may use (0: one per processor
 * core); the bytes never depend on it. Quality 0 runs on the calling thread.
 * On success stores the new encoder in *encoder; on failure stores null there. */
imabox_status imabox_encoder_create(unsigned channels, int quality, unsigned threads,
                                    imabox_encoder** encoder);

/* Frees an encoder and everything it holds; null does nothing. Frames not yet given out as a
 * block (see imabox_encoder_finish) are dropped. */
void imabox_encoder_destroy(imabox_encoder* encoder);

/* The largest number of bytes imabox_encoder_write can give out for the next `frames` frames:
 * the blocks the frames held back so far and these frames complete. 0 for a null encoder. */
size_t imabox_encoder_output_bound(const imabox_encoder* encoder, size_t frames);

/* Feeds `frames` interleaved frames (frames * channels samples; any count, 0 included) and
 * writes every block they complete to `out`, which holds `out_capacity` bytes; *written receives
 * the bytes written, always a whole number of blocks. Frames that do not complete a block are
 * held back for the next call. The bytes do not depend on how the stream is cut into pieces.
 * With an output too small for the blocks completed (see imabox_encoder_output_bound) nothing is
 * taken and IMABOX_ERROR_OUTPUT_TOO_SMALL returned. After an error other than that one or
 * IMABOX_ERROR_INVALID_ARGUMENT the encoder is finished. `pcm` may be null when `frames` is 0. */
imabox_status imabox_encoder_write(imabox_encoder* encoder, const int16_t* pcm, size_t frames,
                                   uint8_t* out, size_t out_capacity, size_t* written);

/* Ends the stream: when frames are held back, completes their block with silence (frames of
 * zeros, whose error the searching levels ignore), writes it to `out` and stores its size in
 * *written; otherwise writes nothing and stores 0. `out` needs imabox_block_bytes(channels)
 * bytes when frames are held back. The encoder takes no frames after this. */
imabox_status imabox_encoder_finish(imabox_encoder* encoder, uint8_t* out, size_t out_capacity,
                                    size_t* written);

/* Decodes `bytes` bytes of whole blocks of `channels` channels into interleaved 16-bit frames at
 * `pcm`, which holds `pcm_capacity` frames; *frames receives the frames written (65 per block).
 * A header step index above 88 is read as 88, as players do. A byte count that is not a whole
 * number of blocks is IMABOX_ERROR_INVALID_ARGUMENT; too little room, IMABOX_ERROR_OUTPUT_TOO_SMALL
 * (nothing written in either case). `blocks` and `pcm` may be null when `bytes` is 0. */
imabox_status imabox_decode_blocks(const uint8_t* blocks, size_t bytes, unsigned channels,
                                   int16_t* pcm, size_t pcm_capacity, size_t* frames);

#ifdef __cplusplus
}
#endif

#endif /* IMABOX_CODEC_H */
