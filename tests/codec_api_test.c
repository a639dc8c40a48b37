/* SPDX-License-Identifier: MIT */
/* The codec C API from a C program: pieces of odd sizes give the bytes of one whole write and,
 * when the tool is built, exactly the bytes `imabox encode --raw --quality N` writes for the same
 * samples; the blocks decode; bad arguments get their status and change nothing.
 *   codec_api_test [IMABOX-TOOL WORK-DIR]
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "imabox/codec.h"

static int failures = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

/* Test audio: two tones and a little noise, with stretches of a full-scale square wave (which
 * push the step index to both ends of its table). */
static int16_t* MakeAudio(unsigned channels, size_t frames) {
    int16_t* pcm = malloc(frames * channels * sizeof *pcm);
    uint32_t seed = 12345u;
    if (pcm == NULL)
        return NULL;
    for (size_t i = 0; i < frames; ++i) {
        for (unsigned c = 0; c < channels; ++c) {
            double v = 12000 * sin(0.125 * (double)i + c) + 4000 * sin(0.85 * (double)i);
            seed = seed * 1664525u + 1013904223u;
            v += (double)(seed >> 24) - 128;
            if ((i / 300) % 5 == 4)
                v = (i / 70) % 2 ? 32767 : -32768;
            pcm[i * channels + c] = (int16_t)(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
        }
    }
    return pcm;
}

/* Encodes `frames` frames in pieces of the sizes in `pieces` (cycled); returns the bytes in a
 * new buffer and their count in *size, or NULL on a failed call. */
static uint8_t* EncodeInPieces(unsigned channels, int quality, unsigned threads, const int16_t* pcm,
                               size_t frames, const size_t* pieces, size_t pieceCount,
                               size_t* size) {
    imabox_encoder* encoder = NULL;
    const size_t capacity = (frames / IMABOX_FRAMES_PER_BLOCK + 1) * imabox_block_bytes(channels);
    uint8_t* out = malloc(capacity);
    size_t at = 0, used = 0, p = 0, written = 0;
    if (out == NULL || imabox_encoder_create(channels, quality, threads, &encoder) != IMABOX_OK) {
        free(out);
        return NULL;
    }
    while (at < frames) {
        size_t n = pieces[p++ % pieceCount];
        if (n > frames - at)
            n = frames - at;
        if (imabox_encoder_output_bound(encoder, n) > capacity - used ||
            imabox_encoder_write(encoder, pcm + at * channels, n, out + used, capacity - used,
                                 &written) != IMABOX_OK) {
            imabox_encoder_destroy(encoder);
            free(out);
            return NULL;
        }
        CHECK(written % imabox_block_bytes(channels) == 0);
        used += written;
        at += n;
    }
    if (imabox_encoder_finish(encoder, out + used, capacity - used, &written) != IMABOX_OK) {
        imabox_encoder_destroy(encoder);
        free(out);
        return NULL;
    }
    used += written;
    imabox_encoder_destroy(encoder);
    *size = used;
    return out;
}

static uint8_t* ReadFile(const char* path, size_t* size) {
    FILE* f = fopen(path, "rb");
    uint8_t* data;
    long length;
    if (f == NULL)
        return NULL;
    fseek(f, 0, SEEK_END);
    length = ftell(f);
    fseek(f, 0, SEEK_SET);
    data = malloc(length > 0 ? (size_t)length : 1);
    if (data != NULL && fread(data, 1, (size_t)length, f) != (size_t)length) {
        free(data);
        data = NULL;
    }
    fclose(f);
    *size = (size_t)length;
    return data;
}

static void Put32(FILE* f, uint32_t v) {
    const unsigned char b[4] = {(unsigned char)v, (unsigned char)(v >> 8), (unsigned char)(v >> 16),
                                (unsigned char)(v >> 24)};
    fwrite(b, 1, 4, f);
}

static void Put16(FILE* f, uint32_t v) {
    const unsigned char b[2] = {(unsigned char)v, (unsigned char)(v >> 8)};
    fwrite(b, 1, 2, f);
}

/* A 16-bit PCM WAVE file at 22050 Hz. */
static int WriteWave(const char* path, unsigned channels, const int16_t* pcm, size_t frames) {
    FILE* f = fopen(path, "wb");
    const uint32_t bytes = (uint32_t)(frames * channels * 2);
    if (f == NULL)
        return 0;
    fwrite("RIFF", 1, 4, f);
    Put32(f, 36 + bytes);
    fwrite("WAVEfmt ", 1, 8, f);
    Put32(f, 16);
    Put16(f, 1);
    Put16(f, channels);
    Put32(f, 22050);
    Put32(f, 22050 * channels * 2);
    Put16(f, channels * 2);
    Put16(f, 16);
    fwrite("data", 1, 4, f);
    Put32(f, bytes);
    for (size_t i = 0; i < frames * channels; ++i)
        Put16(f, (uint16_t)pcm[i]);
    return fclose(f) == 0;
}

/* The tool's bytes for the same samples, or NULL when they cannot be had. */
static uint8_t* ToolBytes(const char* tool, const char* dir, unsigned channels, int quality,
                          const int16_t* pcm, size_t frames, size_t* size) {
    char wave[1024], raw[1024], command[4096];
    snprintf(wave, sizeof wave, "%s/codec_api_in.wav", dir);
    snprintf(raw, sizeof raw, "%s/codec_api_out.raw", dir);
    if (!WriteWave(wave, channels, pcm, frames))
        return NULL;
    snprintf(command, sizeof command, "\"%s\" encode --quiet --raw --quality %d -o \"%s\" \"%s\"",
             tool, quality, raw, wave);
    if (system(command) != 0)
        return NULL;
    return ReadFile(raw, size);
}

static void TestEncoderMatchesTheTool(const char* tool, const char* dir) {
    static const size_t kOdd[] = {1, 7, 64, 131, 3, 65, 66, 999, 13};
    static const size_t kWhole[] = {(size_t)-1};
    static const int kQualities[] = {0, 1, 4, 9};
    const size_t frames = 65 * 23 + 17; /* a partial last block */
    for (unsigned channels = 1; channels <= 2; ++channels) {
        int16_t* pcm = MakeAudio(channels, frames);
        double plainError = 0;
        CHECK(pcm != NULL);
        for (size_t q = 0; pcm != NULL && q < sizeof kQualities / sizeof *kQualities; ++q) {
            const int quality = kQualities[q];
            size_t pieceSize = 0, wholeSize = 0, toolSize = 0, decoded = 0;
            uint8_t* pieces =
                EncodeInPieces(channels, quality, 3, pcm, frames, kOdd, 9, &pieceSize);
            uint8_t* whole =
                EncodeInPieces(channels, quality, 1, pcm, frames, kWhole, 1, &wholeSize);
            const size_t blocks = frames / IMABOX_FRAMES_PER_BLOCK + 1;
            int16_t* back = malloc(blocks * IMABOX_FRAMES_PER_BLOCK * channels * sizeof *back);
            fprintf(stderr, "channels %u, quality %d\n", channels, quality);
            CHECK(pieces != NULL && whole != NULL && back != NULL);
            if (pieces == NULL || whole == NULL || back == NULL) {
                free(pieces), free(whole), free(back);
                continue;
            }
            CHECK(pieceSize == blocks * imabox_block_bytes(channels));
            CHECK(pieceSize == wholeSize && memcmp(pieces, whole, pieceSize) == 0);
            if (tool != NULL) {
                uint8_t* expected = ToolBytes(tool, dir, channels, quality, pcm, frames, &toolSize);
                CHECK(expected != NULL);
                CHECK(expected != NULL && toolSize == pieceSize &&
                      memcmp(expected, pieces, pieceSize) == 0);
                free(expected);
            }
            /* The blocks decode to the input: each block's frame 0 exactly (the header holds it),
             * the rest within a small error; the fill after the audio is silence. */
            CHECK(imabox_decode_blocks(pieces, pieceSize, channels, back,
                                       blocks * IMABOX_FRAMES_PER_BLOCK, &decoded) == IMABOX_OK);
            CHECK(decoded == blocks * IMABOX_FRAMES_PER_BLOCK);
            if (decoded == blocks * IMABOX_FRAMES_PER_BLOCK) {
                double error = 0, energy = 0;
                for (size_t i = 0; i < frames * channels; ++i) {
                    const double d = (double)back[i] - pcm[i];
                    if ((i / channels / 300) % 5 != 4) { /* the tones */
                        error += d * d;
                        energy += (double)pcm[i] * pcm[i];
                    }
                    if ((i / channels) % IMABOX_FRAMES_PER_BLOCK == 0)
                        CHECK(back[i] == pcm[i]);
                }
                fprintf(stderr, "signal to error %.1f dB\n", 10 * log10(energy / error));
                CHECK(error * 10 < energy); /* better than 10 dB */
                /* A searching level never does worse than the plain coder. */
                if (quality == 0)
                    plainError = error;
                CHECK(error <= plainError);
                CHECK(back[decoded * channels - 1] > -2000 && back[decoded * channels - 1] < 2000);
            }
            free(pieces), free(whole), free(back);
        }
        free(pcm);
    }
}

static void TestArguments(void) {
    imabox_encoder* encoder = (imabox_encoder*)&failures; /* set to null on failure */
    int16_t pcm[2 * 200] = {0};
    uint8_t out[4 * 72], again[4 * 72];
    int16_t frames[2 * 130];
    size_t written = 99, bytes = 0;

    CHECK(imabox_codec_api_version() == IMABOX_CODEC_API_VERSION);
    CHECK(imabox_encoder_revision() > 0);
    CHECK(strcmp(imabox_status_text(IMABOX_ERROR_OUTPUT_TOO_SMALL), "output buffer too small") ==
          0);
    CHECK(imabox_block_bytes(2) == 72 && imabox_block_bytes(0) == 0 &&
          imabox_block_bytes(IMABOX_MAX_CHANNELS + 1) == 0);

    CHECK(imabox_encoder_create(0, 0, 1, &encoder) == IMABOX_ERROR_INVALID_ARGUMENT);
    CHECK(encoder == NULL);
    CHECK(imabox_encoder_create(1, IMABOX_MAX_QUALITY + 1, 1, &encoder) ==
          IMABOX_ERROR_INVALID_ARGUMENT);
    CHECK(imabox_encoder_create(1, -1, 1, &encoder) == IMABOX_ERROR_INVALID_ARGUMENT);
    CHECK(imabox_encoder_create(1, 0, 1, NULL) == IMABOX_ERROR_INVALID_ARGUMENT);
    CHECK(imabox_encoder_output_bound(NULL, 65) == 0);
    imabox_encoder_destroy(NULL);

    for (int i = 0; i < 2 * 200; ++i)
        pcm[i] = (int16_t)(i * 97 % 6000 - 3000);
    CHECK(imabox_encoder_create(2, 2, 0, &encoder) == IMABOX_OK);
    if (encoder == NULL)
        return;
    CHECK(imabox_encoder_write(encoder, NULL, 5, out, sizeof out, &written) ==
          IMABOX_ERROR_INVALID_ARGUMENT);
    CHECK(imabox_encoder_write(encoder, pcm, 60, out, sizeof out, NULL) ==
          IMABOX_ERROR_INVALID_ARGUMENT);
    /* 60 frames complete no block; 140 more complete three (two bytes short of room: nothing). */
    CHECK(imabox_encoder_output_bound(encoder, 60) == 0);
    CHECK(imabox_encoder_write(encoder, pcm, 60, NULL, 0, &written) == IMABOX_OK && written == 0);
    CHECK(imabox_encoder_output_bound(encoder, 140) == 3 * 72);
    CHECK(imabox_encoder_write(encoder, pcm + 2 * 60, 140, out, 3 * 72 - 2, &written) ==
          IMABOX_ERROR_OUTPUT_TOO_SMALL);
    CHECK(written == 0);
    CHECK(imabox_encoder_write(encoder, pcm + 2 * 60, 140, out, sizeof out, &written) == IMABOX_OK);
    CHECK(written == 3 * 72);
    CHECK(imabox_encoder_finish(encoder, out + written, 71, &bytes) ==
          IMABOX_ERROR_OUTPUT_TOO_SMALL);
    CHECK(imabox_encoder_finish(encoder, out + written, 72, &bytes) == IMABOX_OK && bytes == 72);
    CHECK(imabox_encoder_write(encoder, pcm, 1, out, sizeof out, &written) ==
          IMABOX_ERROR_FINISHED);
    CHECK(imabox_encoder_finish(encoder, out, sizeof out, &written) == IMABOX_ERROR_FINISHED);
    imabox_encoder_destroy(encoder);

    /* The same frames in one write give the same bytes: the refused write took nothing. */
    CHECK(imabox_encoder_create(2, 2, 1, &encoder) == IMABOX_OK);
    if (encoder != NULL) {
        CHECK(imabox_encoder_write(encoder, pcm, 200, again, sizeof again, &written) == IMABOX_OK);
        CHECK(imabox_encoder_finish(encoder, again + written, sizeof again - written, &bytes) ==
              IMABOX_OK);
        CHECK(written + bytes == sizeof out && memcmp(out, again, sizeof out) == 0);
        imabox_encoder_destroy(encoder);
    }
    /* An empty stream has no blocks. */
    CHECK(imabox_encoder_create(1, 0, 1, &encoder) == IMABOX_OK);
    if (encoder != NULL) {
        CHECK(imabox_encoder_write(encoder, NULL, 0, NULL, 0, &written) == IMABOX_OK);
        CHECK(imabox_encoder_finish(encoder, NULL, 0, &written) == IMABOX_OK && written == 0);
        imabox_encoder_destroy(encoder);
    }

    /* Decoding: whole blocks only, and room for them; a step index above 88 reads as 88. */
    CHECK(imabox_decode_blocks(out, 71, 1, frames, 130, &bytes) == IMABOX_ERROR_INVALID_ARGUMENT);
    CHECK(imabox_decode_blocks(out, 72, 0, frames, 130, &bytes) == IMABOX_ERROR_INVALID_ARGUMENT);
    CHECK(imabox_decode_blocks(out, 144, 2, frames, 129, &bytes) == IMABOX_ERROR_OUTPUT_TOO_SMALL);
    CHECK(bytes == 0);
    CHECK(imabox_decode_blocks(NULL, 0, 2, NULL, 0, &bytes) == IMABOX_OK && bytes == 0);
    memcpy(again, out, 36);
    again[2] = 200;
    out[2] = 88;
    CHECK(imabox_decode_blocks(again, 36, 1, frames, 65, &bytes) == IMABOX_OK && bytes == 65);
    CHECK(imabox_decode_blocks(out, 36, 1, frames + 65, 65, &bytes) == IMABOX_OK && bytes == 65);
    CHECK(memcmp(frames, frames + 65, 65 * sizeof *frames) == 0);
}

int main(int argc, char** argv) {
    TestArguments();
    TestEncoderMatchesTheTool(argc > 2 ? argv[1] : NULL, argc > 2 ? argv[2] : NULL);
    if (argc <= 2)
        fprintf(stderr, "the tool is not built: its bytes were not compared\n");
    if (failures != 0) {
        fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    fprintf(stderr, "all checks passed\n");
    return 0;
}
