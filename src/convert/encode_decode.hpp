// The two halves behind ConvertFile and ConvertMemory: XBoxAudio's converter (direction Auto,
// in convert.cpp) and Encode/Decode over the streaming pipeline (encode_decode.cpp). They live in
// separate objects so that the shared library, which only needs the first, never links the
// pipeline's stages (nor the resampler and the libraries behind them).
#pragma once

#include <filesystem>
#include <span>

#include "imabox/convert.hpp"

namespace imabox {

Expected<ConvertReport> ConvertStrictFile(const std::filesystem::path& input,
                                          const std::filesystem::path& output,
                                          const ConvertOptions& options);
Expected<MemoryConversion> ConvertStrictMemory(std::span<const std::uint8_t> input,
                                               const ConvertOptions& options);

Expected<ConvertReport> EncodeDecodeFile(const std::filesystem::path& input,
                                         const std::filesystem::path& output,
                                         const ConvertOptions& options);
Expected<MemoryConversion> EncodeDecodeMemory(std::span<const std::uint8_t> input,
                                              const ConvertOptions& options);

}  // namespace imabox
