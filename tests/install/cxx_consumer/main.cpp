// SPDX-License-Identifier: MIT
// A program of another project that uses the installed C++ API (static libraries): encodes IN
// with the searching encoder, decodes the result back, and touches the recorder so that its
// own dependencies have to be linked.
#include <imabox/convert.hpp>
#include <imabox/recorder.hpp>
#include <imabox/version.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: " << argv[0] << " IN.wav OUT.wav\n";
        return 2;
    }
    std::cout << "cxx consumer: imabox " << imabox::Version() << ", encoder revision "
              << imabox::EncoderRevision() << "\n";

    imabox::EncodeOptions options;
    options.quality = 2;
    auto encoded = imabox::EncodeFile(argv[1], argv[2], options);
    if (!encoded) {
        std::cerr << "encode failed: " << encoded.error().message << "\n";
        return 1;
    }
    auto info = imabox::ReadWaveInfo(argv[2]);
    if (!info || info->format != imabox::SourceFormat::XBoxADPCM ||
        info->frames < encoded->inputFrames) {
        std::cerr << "the output does not read back as Xbox ADPCM\n";
        return 1;
    }

    // No folder of that name: the recorder refuses, and StopRecording leaves nothing open.
    const auto missing = std::filesystem::path(argv[2]).parent_path() / "no-such-folder" / "x.wav";
    const std::int32_t started = imabox::StartRecording(missing);
    imabox::StopRecording();
    if (started == imabox::kRecorderStarted) {
        std::cerr << "recording into a missing folder started\n";
        return 1;
    }
    std::cout << "cxx consumer: " << encoded->inputFrames
              << " frames encoded; recorder: " << imabox::RecorderResultMessage(started) << "\n";
    return 0;
}
