// SPDX-License-Identifier: MIT
// ReadWaveInfo over any byte source (the WebAssembly module reads files held in JavaScript).
#pragma once

#include "imabox/convert.hpp"
#include "io/byte_stream.hpp"

namespace imabox {

// What the WAVE file `source` holds: its headers and metadata, the payload unread.
Expected<WaveInfo> ReadWaveInfoFrom(ByteSource& source);

}  // namespace imabox
