// SPDX-License-Identifier: MIT
// Recognises an audio container from the first bytes of a file or stream, whatever its name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace imabox {

// Bytes ProbeContainer needs to tell every container it knows apart (fewer work at the end of a
// short input).
inline constexpr std::size_t kContainerProbeBytes = 64;

enum class ContainerKind {
    Wave,     // RIFF: imabox's own WAVE reader reads it (or names the RIFF form it refuses)
    Other,    // a container another reader may know (FLAC, Ogg, AIFF, MP3...)
    Unknown,  // nothing recognised; `name` describes the first bytes
};

struct ContainerProbe {
    ContainerKind kind = ContainerKind::Unknown;
    // A short name for messages: "WAVE", "FLAC", "Ogg Vorbis", "AIFF", "MP3"..., or for unknown
    // content its first bytes, e.g. "starts 4D 54 68 64 \"MThd\"", or "empty input".
    std::string name;
};

ContainerProbe ProbeContainer(std::span<const std::uint8_t> head);

}  // namespace imabox
