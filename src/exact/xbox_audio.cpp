// SPDX-License-Identifier: MIT
// The exported converter: a thin wrapper over the C++ API that prints to standard output and ends
// the process on failure.
#include "imabox/xbox_audio.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

#include "exact/exact_messages.hpp"
#include "exact/fatal_error.hpp"
#include "imabox/convert.hpp"
#include "io/wide_path.hpp"

namespace {

void PrintToStdout(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

extern "C" IMABOX_API int32_t XBoxAudio(const wchar_t* inputPath, const wchar_t* outputPath) {
    using namespace imabox;
    try {
        PrintToStdout(kBanner);
        // All the work stays on the caller's thread.
        ConvertOptions options;
        options.console = PrintToStdout;
        options.threads = 1;
        const auto result =
            ConvertFile(WidePathToFilesystem(inputPath), WidePathToFilesystem(outputPath), options);
        if (!result)
            FatalError(result.error().message.c_str());
        std::fflush(stdout);
        return 0;
    } catch (const std::bad_alloc&) {
        FatalError(ExactText(ExactMessage::OutOfMemory).data());
    } catch (...) {
        FatalError(ExactText(ExactMessage::Internal).data());
    }
}
