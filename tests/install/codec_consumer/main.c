/* SPDX-License-Identifier: MIT */
/* Encodes 100 frames of a ramp at quality 3 and decodes them: prints the block size, the encoder
 * revision and the decoded frames; fails unless one 36-byte block comes back as 65 frames. */
#include <imabox/codec.h>
#include <stdio.h>

int main(void) {
    imabox_encoder* encoder;
    int16_t pcm[100], decoded[130];
    uint8_t blocks[2 * 36];
    size_t bytes = 0, last = 0, frames = 0;
    for (int i = 0; i < 100; ++i)
        pcm[i] = (int16_t)(i * 300 - 15000);
    if (imabox_encoder_create(1, 3, 1, &encoder) != IMABOX_OK)
        return 1;
    if (imabox_encoder_write(encoder, pcm, 100, blocks, sizeof blocks, &bytes) != IMABOX_OK ||
        imabox_encoder_finish(encoder, blocks + bytes, sizeof blocks - bytes, &last) != IMABOX_OK)
        return 1;
    imabox_encoder_destroy(encoder);
    if (imabox_decode_blocks(blocks, bytes + last, 1, decoded, 130, &frames) != IMABOX_OK)
        return 1;
    printf("%zu bytes, encoder revision %d, %zu frames\n", bytes + last, imabox_encoder_revision(),
           frames);
    return bytes == 36 && last == 36 && frames == 130 && decoded[65] == pcm[65] ? 0 : 1;
}
