// XBoxAudio's conversion (ConvertDirection::Auto) on its own: what the shared library links,
// without the Encode/Decode pipeline and the container and resampling libraries behind it.
// ConvertFile and ConvertMemory call these for Auto.
#pragma once

#include <filesystem>
#include <span>

#include "imabox/convert.hpp"

namespace imabox {

Expected<ConvertReport> AutoConvertFile(const std::filesystem::path& input,
                                        const std::filesystem::path& output,
                                        const ConvertOptions& options);
Expected<MemoryConversion> AutoConvertMemory(std::span<const std::uint8_t> input,
                                             const ConvertOptions& options);

}  // namespace imabox
