// SPDX-License-Identifier: MIT
// The sample formats imabox reads from WAVE files.
#pragma once

#include <string>

namespace imabox {

enum class SourceFormat {
    PCM8,       // unsigned 8-bit integer
    PCM16,      // signed 16-bit integer
    PCM24,      // signed 24-bit integer
    PCM32,      // signed 32-bit integer
    Float32,    // IEEE float, nominal range -1..1
    Float64,    // IEEE double, nominal range -1..1
    XBoxADPCM,  // format tag 0x0069, 36 bytes per channel per block
    IMAADPCM,   // format tag 0x0011
};

// A short human-readable name, e.g. "24-bit PCM" or "Xbox ADPCM (0x0069)".
std::string DescribeSourceFormat(SourceFormat format);

}  // namespace imabox
