// SPDX-License-Identifier: MIT
// The recorder's inner pieces, for tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "recorder/wave_in.hpp"
#include "wave/wave_header.hpp"

namespace imabox {

// One second of 16-bit mono PCM at 8000 Hz: the size of every capture buffer.
inline constexpr std::uint32_t kRecorderSampleRate = 8000;
inline constexpr std::uint32_t kRecorderBufferBytes = 16000;

// The most whole seconds one WAVE file can declare: riffSize, n * 16000 + 36, is 32 bits.
inline constexpr std::uint32_t kRecorderMaxBuffers = (0xFFFFFFFFu - 36) / kRecorderBufferBytes;

// The 44-byte header the recorder writes: a placeholder at Start, the final header at Stop.
extern std::array<std::uint8_t, kPCMHeaderBytes> SoundRecorderHeader;

// Opens the input device (the default one when `device` is empty) and queues and starts the
// capture buffer: 999, 1, 2 or 3.
std::int32_t SoundRecorderOpenDevice(const std::string& device = {});

// The device's callback: appends each full buffer to the file.
void CALLBACK SoundRecorderCallback(HWAVEIN device, UINT message, DWORD_PTR instance,
                                    DWORD_PTR param1, DWORD_PTR param2);

}  // namespace imabox
