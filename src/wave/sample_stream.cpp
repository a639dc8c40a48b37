// SPDX-License-Identifier: MIT
#include "wave/sample_stream.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <vector>

#include "codec/ima_adpcm_blocks.hpp"
#include "io/errors.hpp"
#include "wave/wave_header.hpp"

namespace imabox {
namespace {

// Whole units (frames or blocks) of the data chunk, a piece at a time. With a known payload size
// it reads exactly that; otherwise it reads to the end of the input and keeps one byte read ahead,
// so that it knows a piece is the last one when it returns it.
class UnitReader {
  public:
    UnitReader(ByteSource& source, const WaveHeader& header)
        : source_(source),
          offset_(header.dataOffset),
          unitBytes_(header.unitBytes()),
          size_(header.dataBytes),
          remaining_(header.dataBytes.value_or(0)) {}

    unsigned unitBytes() const { return unitBytes_; }
    bool atEnd() const { return atEnd_; }
    std::uint64_t ignoredBytes() const { return ignored_; }

    // Reads up to out.size() / unitBytes units into `out`; returns how many.
    Expected<std::size_t> Read(std::span<std::uint8_t> out) {
        const std::size_t maxUnits = out.size() / unitBytes_;
        if (atEnd_ || maxUnits == 0)
            return std::size_t{0};
        if (size_) {
            const std::uint64_t units = std::min<std::uint64_t>(maxUnits, remaining_ / unitBytes_);
            const auto want = static_cast<std::size_t>(units * unitBytes_);
            const std::size_t got = want == 0 ? 0 : source_.Read(out.first(want));
            if (source_.Failed())
                return ReadFailure();
            if (got < want) {
                return MakeError(ErrorKind::Truncated,
                                 "data chunk declares " + std::to_string(*size_) + " bytes, " +
                                     std::to_string(*size_ - remaining_ + got) + " present");
            }
            remaining_ -= want;
            if (remaining_ < unitBytes_) {
                ignored_ = remaining_;
                atEnd_ = true;
            }
            return static_cast<std::size_t>(units);
        }
        // Unknown size: the byte read ahead comes first.
        std::size_t have = 0;
        if (ahead_) {
            out[0] = *ahead_;
            ahead_.reset();
            have = 1;
        }
        const std::size_t want = maxUnits * unitBytes_;
        have += source_.Read(out.subspan(have, want - have));
        if (source_.Failed())
            return ReadFailure();
        if (have == want) {
            std::uint8_t next = 0;
            if (source_.Read(std::span(&next, 1)) == 1)
                ahead_ = next;
            else if (source_.Failed())
                return ReadFailure();
            else
                atEnd_ = true;
        } else {
            atEnd_ = true;
            ignored_ = have % unitBytes_;
        }
        return have / unitBytes_;
    }

    bool Rewind() {
        if (!source_.Seek(offset_))
            return false;
        remaining_ = size_.value_or(0);
        atEnd_ = size_ && remaining_ < unitBytes_;
        ignored_ = atEnd_ ? remaining_ : 0;
        ahead_.reset();
        return true;
    }

    void Start() {
        atEnd_ = size_ && remaining_ < unitBytes_;
        ignored_ = atEnd_ ? remaining_ : 0;
    }

  private:
    Error ReadFailure() const {
        return MakeError(ErrorKind::InputRead, SystemErrorText(source_.ErrorNumber()));
    }

    ByteSource& source_;
    std::uint64_t offset_;
    unsigned unitBytes_;
    std::optional<std::uint64_t> size_;
    std::uint64_t remaining_;
    std::optional<std::uint8_t> ahead_;
    bool atEnd_ = false;
    std::uint64_t ignored_ = 0;
};

std::int32_t GetLE24(const std::uint8_t* p) {
    const std::uint32_t u =
        std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
    return static_cast<std::int32_t>(u << 8) >> 8;
}

double GetFloat32(const std::uint8_t* p) {
    return static_cast<double>(std::bit_cast<float>(GetLE32(p)));
}

double GetFloat64(const std::uint8_t* p) {
    const std::uint64_t u = GetLE32(p) | (std::uint64_t{GetLE32(p + 4)} << 32);
    return std::bit_cast<double>(u);
}

template <class Sample>
class PayloadStream : public SampleStream<Sample> {
  public:
    PayloadStream(ByteSource& source, const WaveHeader& header)
        : header_(header), units_(source, header) {
        shape_.channels = header.channels;
        shape_.sampleRate = header.sampleRate;
        if (header.dataBytes)
            shape_.frames = *header.dataBytes / header.unitBytes() * header.unitFrames();
        units_.Start();
    }
    const StreamShape& shape() const override { return shape_; }
    bool Rewind() override { return units_.Rewind(); }
    StreamStats stats() const override { return {units_.ignoredBytes(), 0, false}; }

  protected:
    // Room for `units` units in the byte buffer.
    std::span<std::uint8_t> Buffer(std::size_t units) {
        const std::size_t bytes = units * units_.unitBytes();
        if (buffer_.size() < bytes)
            buffer_.resize(bytes);
        return std::span(buffer_).first(bytes);
    }

    WaveHeader header_;
    StreamShape shape_;
    UnitReader units_;
    std::vector<std::uint8_t> buffer_;
};

// 8- and 16-bit integer PCM.
class IntegerPCMStream final : public PayloadStream<std::int16_t> {
  public:
    using PayloadStream::PayloadStream;
    Expected<std::size_t> Read(std::span<std::int16_t> out) override {
        const unsigned channels = header_.channels;
        const std::size_t maxFrames = out.size() / channels;
        if (header_.format == SourceFormat::PCM16) {
            // Straight into the output, then into host order.
            const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(out.data()),
                                                maxFrames * channels * 2);
            const Expected<std::size_t> frames = units_.Read(bytes);
            if (frames && std::endian::native == std::endian::big) {
                for (std::size_t i = 0; i < *frames * channels; ++i)
                    out[i] = static_cast<std::int16_t>(GetLE16(&bytes[2 * i]));
            }
            return frames;
        }
        const std::span<std::uint8_t> bytes = Buffer(maxFrames);
        const Expected<std::size_t> frames = units_.Read(bytes);
        if (frames) {
            for (std::size_t i = 0; i < *frames * channels; ++i)
                out[i] = static_cast<std::int16_t>((bytes[i] - 128) * 256);
        }
        return frames;
    }
};

// 24/32-bit integer PCM and float, in 16-bit units.
class WidePCMStream final : public PayloadStream<double> {
  public:
    using PayloadStream::PayloadStream;
    Expected<std::size_t> Read(std::span<double> out) override {
        const unsigned channels = header_.channels;
        const std::size_t maxFrames = out.size() / channels;
        const std::span<std::uint8_t> bytes = Buffer(maxFrames);
        const Expected<std::size_t> frames = units_.Read(bytes);
        if (!frames)
            return frames;
        const std::size_t count = *frames * channels;
        const std::uint8_t* p = bytes.data();
        switch (header_.format) {
            case SourceFormat::PCM24:
                for (std::size_t i = 0; i < count; ++i)
                    out[i] = GetLE24(p + 3 * i) / 256.0;
                break;
            case SourceFormat::PCM32:
                for (std::size_t i = 0; i < count; ++i)
                    out[i] = static_cast<std::int32_t>(GetLE32(p + 4 * i)) / 65536.0;
                break;
            case SourceFormat::Float32:
                for (std::size_t i = 0; i < count; ++i)
                    out[i] = GetFloat32(p + 4 * i) * 32768.0;
                break;
            case SourceFormat::Float64:
                for (std::size_t i = 0; i < count; ++i)
                    out[i] = GetFloat64(p + 8 * i) * 32768.0;
                break;
            default:
                break;
        }
        return frames;
    }
};

// Xbox ADPCM and IMA ADPCM blocks, decoded through the codec. A fact chunk gives the true length,
// without the last block's fill; a count that would cut into earlier blocks is not believed
// (streaming writers leave 0 there).
class ADPCMStream final : public PayloadStream<std::int16_t> {
  public:
    ADPCMStream(ByteSource& source, const WaveHeader& header) : PayloadStream(source, header) {
        if (shape_.frames)
            shape_.frames = Trimmed(*shape_.frames);
    }

    Expected<std::size_t> Read(std::span<std::int16_t> out) override {
        const unsigned channels = header_.channels;
        const std::size_t blockSamples = std::size_t{header_.unitFrames()} * channels;
        if (out.size() < channels)
            return std::size_t{0};
        if (spillAt_ == spill_.size() && out.size() < blockSamples) {
            // Less room than a block: decode one aside and hand it out in parts.
            spill_.resize(blockSamples);
            const Expected<std::size_t> frames = Decode(spill_);
            if (!frames)
                return frames;
            spill_.resize(*frames * channels);
            spillAt_ = 0;
        }
        if (spillAt_ < spill_.size()) {
            const std::size_t n =
                std::min(out.size() / channels * channels, spill_.size() - spillAt_);
            std::copy_n(spill_.begin() + static_cast<std::ptrdiff_t>(spillAt_), n, out.begin());
            spillAt_ += n;
            return n / channels;
        }
        return Decode(out);
    }

    bool Rewind() override {
        decoded_ = 0;
        trimmed_ = false;
        spill_.clear();
        spillAt_ = 0;
        return units_.Rewind();
    }

  private:
    // Decodes as many whole blocks as `out` holds.
    Expected<std::size_t> Decode(std::span<std::int16_t> out) {
        const unsigned channels = header_.channels;
        const unsigned blockFrames = header_.unitFrames();
        const std::size_t maxBlocks = out.size() / (std::size_t{blockFrames} * channels);
        if (trimmed_)
            return std::size_t{0};
        const std::span<std::uint8_t> bytes = Buffer(maxBlocks);
        const Expected<std::size_t> blocks = units_.Read(bytes);
        if (!blocks)
            return blocks;
        IMAADPCMDecodeBlocks(bytes, out, channels, units_.unitBytes(), *blocks);
        std::uint64_t frames = std::uint64_t{*blocks} * blockFrames;
        if (units_.atEnd()) {
            // (A stream whose last block came a read earlier keeps what it already handed out.)
            frames = std::max(Trimmed(decoded_ + frames), decoded_) - decoded_;
            trimmed_ = true;
        }
        decoded_ += frames;
        return static_cast<std::size_t>(frames);
    }

    std::uint64_t Trimmed(std::uint64_t total) const {
        const auto& fact = header_.factFrames;
        if (fact && *fact<total&& * fact + header_.unitFrames()> total)
            return *fact;
        return total;
    }

    std::uint64_t decoded_ = 0;
    bool trimmed_ = false;
    std::vector<std::int16_t> spill_;  // a decoded block not yet handed out
    std::size_t spillAt_ = 0;
};

}  // namespace

Expected<PayloadStreams> OpenPayload(ByteSource& source, const WaveHeader& header) {
    PayloadStreams streams;
    switch (header.format) {
        case SourceFormat::PCM8:
        case SourceFormat::PCM16:
            streams.int16 = std::make_unique<IntegerPCMStream>(source, header);
            break;
        case SourceFormat::XBoxADPCM:
        case SourceFormat::IMAADPCM:
            streams.int16 = std::make_unique<ADPCMStream>(source, header);
            break;
        default:
            streams.real = std::make_unique<WidePCMStream>(source, header);
            break;
    }
    return streams;
}

}  // namespace imabox
