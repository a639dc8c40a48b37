// SPDX-License-Identifier: MIT
#include "wave/container_probe.hpp"

#include <cstdio>
#include <cstring>

namespace imabox {
namespace {

bool StartsWith(std::span<const std::uint8_t> bytes, std::size_t at, const char* text) {
    const std::size_t n = std::strlen(text);
    return bytes.size() >= at + n && std::memcmp(bytes.data() + at, text, n) == 0;
}

// What an Ogg stream carries, from the first packet of its first page.
std::string OggName(std::span<const std::uint8_t> head) {
    if (head.size() < 27)
        return "Ogg";
    const std::size_t body = 27 + std::size_t{head[26]};  // after the segment table
    if (StartsWith(head, body, "\x01vorbis"))
        return "Ogg Vorbis";
    if (StartsWith(head, body, "OpusHead"))
        return "Ogg Opus";
    if (StartsWith(head, body,
                   "\x7F"
                   "FLAC"))
        return "Ogg FLAC";
    if (StartsWith(head, body, "Speex   "))
        return "Ogg Speex";
    return "Ogg";
}

// An MPEG audio frame header: 11 sync bits, a valid version, layer, bit rate and sample rate.
const char* MpegName(std::span<const std::uint8_t> head) {
    if (head.size() < 3 || head[0] != 0xFF || (head[1] & 0xE0) != 0xE0)
        return nullptr;
    const unsigned version = (head[1] >> 3) & 3;
    const unsigned layer = (head[1] >> 1) & 3;
    const unsigned bitrate = head[2] >> 4;
    const unsigned rate = (head[2] >> 2) & 3;
    if (version == 1 || layer == 0 || bitrate == 15 || rate == 3)
        return nullptr;
    return layer == 1 ? "MP3" : layer == 2 ? "MP2" : "MP1";
}

std::string Unknown(std::span<const std::uint8_t> head) {
    if (head.empty())
        return "empty input";
    std::string hex;
    std::string text;
    for (std::size_t i = 0; i < head.size() && i < 4; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02X", static_cast<unsigned>(head[i]));
        hex += (i ? " " : "") + std::string(byte);
        text += (head[i] >= 0x20 && head[i] < 0x7F) ? static_cast<char>(head[i]) : '.';
    }
    return "starts " + hex + " \"" + text + "\"";
}

}  // namespace

ContainerProbe ProbeContainer(std::span<const std::uint8_t> head) {
    const auto other = [](std::string name) {
        return ContainerProbe{ContainerKind::Other, std::move(name)};
    };
    if (StartsWith(head, 0, "RIFF"))  // WAVE, or a form the WAVE reader names when it refuses it
        return {ContainerKind::Wave, "WAVE"};
    if ((StartsWith(head, 0, "RF64") || StartsWith(head, 0, "BW64")) && StartsWith(head, 8, "WAVE"))
        return other("RF64 WAVE");
    if (StartsWith(head, 0, "riff") && head.size() >= 16 && head[4] == 0x2E && head[5] == 0x91)
        return other("Wave64");
    if (StartsWith(head, 0, "fLaC"))
        return other("FLAC");
    if (StartsWith(head, 0, "OggS"))
        return other(OggName(head));
    if (StartsWith(head, 0, "FORM") && StartsWith(head, 8, "AIFF"))
        return other("AIFF");
    if (StartsWith(head, 0, "FORM") && StartsWith(head, 8, "AIFC"))
        return other("AIFF-C");
    if (StartsWith(head, 0, "FORM") && StartsWith(head, 8, "8SVX"))
        return other("8SVX");
    if (StartsWith(head, 0, "caff"))
        return other("CAF");
    if (StartsWith(head, 0, ".snd") || StartsWith(head, 0, "dns."))
        return other("AU");
    if (StartsWith(head, 0, "ID3"))
        return other("MP3");
    if (const char* mpeg = MpegName(head))
        return other(mpeg);
    return {ContainerKind::Unknown, Unknown(head)};
}

}  // namespace imabox
