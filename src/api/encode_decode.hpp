// Encode and Decode between files and in memory, over the streaming pipeline.
#pragma once

#include <filesystem>
#include <span>

#include "imabox/convert.hpp"
#include "io/byte_stream.hpp"

namespace imabox {

Expected<ConvertReport> EncodeDecodeFile(const std::filesystem::path& input,
                                         const std::filesystem::path& output,
                                         const ConvertOptions& options);
Expected<MemoryConversion> EncodeDecodeMemory(std::span<const std::uint8_t> input,
                                              const ConvertOptions& options);
// What the WAVE file `source` holds: its headers and metadata, the payload unread.
Expected<WaveInfo> ReadWaveInfoFrom(ByteSource& source);

}  // namespace imabox
