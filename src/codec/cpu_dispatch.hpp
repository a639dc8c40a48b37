// SPDX-License-Identifier: MIT
// The one place that decides which inner loops the codec runs: AVX2 ones on x86-64 processors
// that have AVX2 (in builds that compile them), portable ones everywhere else. Every coder asks
// SelectKernels; tests and benchmarks may ask for a particular set.
#pragma once

#include <cstdint>

#include "codec/xbox_adpcm_kernels.hpp"
#include "codec/xbox_adpcm_search_detail.hpp"

namespace imabox {

enum class ADPCMKernel {
    Best,      // the fastest one this processor runs
    Portable,  // plain C++, any processor
    AVX2,      // x86-64 with AVX2
};

// Whether this processor (and this build) can run `kernel`. Best and Portable always can.
bool ADPCMKernelSupported(ADPCMKernel kernel);

// Best resolved to the kernel actually used; an unsupported one to Portable.
ADPCMKernel ADPCMResolveKernel(ADPCMKernel kernel);

const char* ADPCMKernelName(ADPCMKernel kernel);

// Every inner loop of the codec, for one instruction set.
struct CodecKernels {
    void (*encodeLanes)(kernels::EncodeLane* lanes, unsigned count, unsigned channels,
                        std::uint64_t blocks);
    unsigned encodeWidth;  // lanes encodeLanes runs side by side
    void (*decodeJobs)(const std::uint8_t* adpcm, std::int16_t* pcm, unsigned channels,
                       std::uint64_t firstJob, std::uint64_t endJob);
    search_detail::SearchKernels search;
};

// The kernels of ADPCMResolveKernel(kernel).
const CodecKernels& SelectKernels(ADPCMKernel kernel = ADPCMKernel::Best);

}  // namespace imabox
