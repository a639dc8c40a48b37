// SPDX-License-Identifier: MIT
// The codec's C API (include/imabox/codec.h) over the block coders. Nothing thrown inside gets
// past these functions: each one catches at its boundary and answers with a status.
#include "imabox/codec.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "codec/encoder_revision.hpp"
#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_fast.hpp"
#include "codec/xbox_adpcm_search.hpp"

static_assert(IMABOX_FRAMES_PER_BLOCK == imabox::kFramesPerBlock);
static_assert(IMABOX_BLOCK_BYTES_PER_CHANNEL == imabox::kBlockBytesPerChannel);
static_assert(IMABOX_MAX_QUALITY == imabox::kXBoxADPCMMaxQuality);

struct imabox_encoder {
    unsigned channels = 0;
    int quality = 0;
    unsigned threads = 1;
    // Each channel's step index of the plain coder at the start of the next block: the chain every
    // level codes from (see XBoxADPCMEncodeSearchRun).
    std::vector<std::uint8_t> plainIndex;
    std::vector<std::int16_t> held;  // one block of frames; the first heldFrames are held back
    std::size_t heldFrames = 0;
    bool finished = false;
};

namespace {

using imabox::kBlockBytesPerChannel;
using imabox::kFramesPerBlock;

bool ChannelsValid(unsigned channels) {
    return channels >= 1 && channels <= IMABOX_MAX_CHANNELS;
}

std::size_t BlockBytes(unsigned channels) {
    return std::size_t{kBlockBytesPerChannel} * channels;
}

// Codes `blocks` whole blocks of `pcm` into `out`; of their frames the first `validFrames` are
// audio and the rest fill.
void EncodeBlocks(imabox_encoder& e, const std::int16_t* pcm, std::size_t blocks,
                  std::size_t validFrames, std::uint8_t* out) {
    if (blocks == 0)
        return;
    imabox::XBoxADPCMEncodeSearchRun(
        std::span<const std::int16_t>(pcm, blocks * kFramesPerBlock * e.channels),
        std::span<std::uint8_t>(out, blocks * BlockBytes(e.channels)), e.channels, validFrames,
        e.quality, e.plainIndex, e.threads);
}

imabox_status Write(imabox_encoder& e, const std::int16_t* pcm, std::size_t frames,
                    std::uint8_t* out, std::size_t capacity, std::size_t& written) {
    const std::size_t blocks = (e.heldFrames + frames) / kFramesPerBlock;
    if (blocks * BlockBytes(e.channels) > capacity || (blocks != 0 && out == nullptr))
        return IMABOX_ERROR_OUTPUT_TOO_SMALL;
    if (blocks != 0 && e.heldFrames != 0) {
        // Complete the held block first.
        const std::size_t take = kFramesPerBlock - e.heldFrames;
        std::copy_n(pcm, take * e.channels, e.held.data() + e.heldFrames * e.channels);
        EncodeBlocks(e, e.held.data(), 1, kFramesPerBlock, out);
        e.heldFrames = 0;
        pcm += take * e.channels;
        frames -= take;
        out += BlockBytes(e.channels);
        written += BlockBytes(e.channels);
    }
    // Whole blocks straight from the caller's frames.
    const std::size_t direct = frames / kFramesPerBlock;
    EncodeBlocks(e, pcm, direct, direct * kFramesPerBlock, out);
    written += direct * BlockBytes(e.channels);
    pcm += direct * kFramesPerBlock * e.channels;
    frames -= direct * kFramesPerBlock;
    std::copy_n(pcm, frames * e.channels, e.held.data() + e.heldFrames * e.channels);
    e.heldFrames += frames;
    return IMABOX_OK;
}

}  // namespace

extern "C" {

int imabox_codec_api_version(void) {
    return IMABOX_CODEC_API_VERSION;
}

int imabox_encoder_revision(void) {
    return imabox::kEncoderRevision;
}

const char* imabox_status_text(imabox_status status) {
    switch (status) {
        case IMABOX_OK:
            return "success";
        case IMABOX_ERROR_INVALID_ARGUMENT:
            return "invalid argument";
        case IMABOX_ERROR_OUTPUT_TOO_SMALL:
            return "output buffer too small";
        case IMABOX_ERROR_FINISHED:
            return "encoder already finished";
        case IMABOX_ERROR_OUT_OF_MEMORY:
            return "out of memory";
        case IMABOX_ERROR_INTERNAL:
            return "internal error";
    }
    return "unknown status";
}

size_t imabox_block_bytes(unsigned channels) {
    return ChannelsValid(channels) ? BlockBytes(channels) : 0;
}

imabox_status imabox_encoder_create(unsigned channels, int quality, unsigned threads,
                                    imabox_encoder** encoder) {
    if (encoder == nullptr)
        return IMABOX_ERROR_INVALID_ARGUMENT;
    *encoder = nullptr;
    if (!ChannelsValid(channels) || quality < 0 || quality > IMABOX_MAX_QUALITY)
        return IMABOX_ERROR_INVALID_ARGUMENT;
    try {
        auto e = std::make_unique<imabox_encoder>();
        e->channels = channels;
        e->quality = quality;
        e->threads = threads;
        e->plainIndex.assign(channels, 0);
        e->held.assign(std::size_t{kFramesPerBlock} * channels, 0);
        *encoder = e.release();  // the caller's until imabox_encoder_destroy
        return IMABOX_OK;
    } catch (const std::bad_alloc&) {
        return IMABOX_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return IMABOX_ERROR_INTERNAL;
    }
}

void imabox_encoder_destroy(imabox_encoder* encoder) {
    const std::unique_ptr<imabox_encoder> owned(encoder);
}

size_t imabox_encoder_output_bound(const imabox_encoder* encoder, size_t frames) {
    if (encoder == nullptr)
        return 0;
    // Held frames are fewer than one block, so this cannot wrap before the multiplication does.
    const std::size_t blocks = frames / kFramesPerBlock +
                               (frames % kFramesPerBlock + encoder->heldFrames) / kFramesPerBlock;
    const std::size_t bytes = BlockBytes(encoder->channels);
    return blocks > std::numeric_limits<std::size_t>::max() / bytes
               ? std::numeric_limits<std::size_t>::max()
               : blocks * bytes;
}

imabox_status imabox_encoder_write(imabox_encoder* encoder, const int16_t* pcm, size_t frames,
                                   uint8_t* out, size_t out_capacity, size_t* written) {
    if (written != nullptr)
        *written = 0;
    if (encoder == nullptr || written == nullptr || (pcm == nullptr && frames != 0) ||
        frames > std::numeric_limits<std::size_t>::max() / encoder->channels)
        return IMABOX_ERROR_INVALID_ARGUMENT;
    if (encoder->finished)
        return IMABOX_ERROR_FINISHED;
    try {
        return Write(*encoder, pcm, frames, out, out_capacity, *written);
    } catch (const std::bad_alloc&) {
        encoder->finished = true;
        return IMABOX_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        encoder->finished = true;
        return IMABOX_ERROR_INTERNAL;
    }
}

imabox_status imabox_encoder_finish(imabox_encoder* encoder, uint8_t* out, size_t out_capacity,
                                    size_t* written) {
    if (written != nullptr)
        *written = 0;
    if (encoder == nullptr || written == nullptr)
        return IMABOX_ERROR_INVALID_ARGUMENT;
    if (encoder->finished)
        return IMABOX_ERROR_FINISHED;
    imabox_encoder& e = *encoder;
    if (e.heldFrames == 0) {
        e.finished = true;
        return IMABOX_OK;
    }
    if (out == nullptr || out_capacity < BlockBytes(e.channels))
        return IMABOX_ERROR_OUTPUT_TOO_SMALL;
    e.finished = true;
    try {
        std::fill(e.held.begin() + static_cast<std::ptrdiff_t>(e.heldFrames * e.channels),
                  e.held.end(), std::int16_t{0});
        EncodeBlocks(e, e.held.data(), 1, e.heldFrames, out);
        *written = BlockBytes(e.channels);
        e.heldFrames = 0;
        return IMABOX_OK;
    } catch (const std::bad_alloc&) {
        return IMABOX_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return IMABOX_ERROR_INTERNAL;
    }
}

imabox_status imabox_decode_blocks(const uint8_t* blocks, size_t bytes, unsigned channels,
                                   int16_t* pcm, size_t pcm_capacity, size_t* frames) {
    if (frames != nullptr)
        *frames = 0;
    if (frames == nullptr || !ChannelsValid(channels) || bytes % BlockBytes(channels) != 0 ||
        (blocks == nullptr && bytes != 0))
        return IMABOX_ERROR_INVALID_ARGUMENT;
    const std::size_t count = bytes / BlockBytes(channels);
    if (count > pcm_capacity / kFramesPerBlock || (count != 0 && pcm == nullptr))
        return IMABOX_ERROR_OUTPUT_TOO_SMALL;
    if (count == 0)
        return IMABOX_OK;
    const std::size_t decoded = count * kFramesPerBlock;
    // pcm_capacity frames of `channels` samples fit the caller's memory, so this does not wrap.
    try {
        imabox::XBoxADPCMDecodeBlocksFast(std::span<const std::uint8_t>(blocks, bytes),
                                          std::span<std::int16_t>(pcm, decoded * channels),
                                          channels, decoded);
        *frames = decoded;
        return IMABOX_OK;
    } catch (...) {
        return IMABOX_ERROR_INTERNAL;
    }
}

}  // extern "C"
