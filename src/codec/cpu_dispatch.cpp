// SPDX-License-Identifier: MIT
#include "codec/cpu_dispatch.hpp"

#if defined(IMABOX_HAVE_AVX2_KERNELS) && defined(_MSC_VER)
#include <intrin.h>
#elif defined(IMABOX_HAVE_AVX2_KERNELS) && defined(__GNUC__)
#include <cpuid.h>
#endif

namespace imabox {
namespace {

// AVX2 needs the instructions (CPUID leaf 7) and an operating system that saves the 256-bit
// registers (OSXSAVE, and XCR0 with the SSE and AVX state bits). Asked through cpuid itself, so
// that any compiler for x86 can build it.
bool DetectAVX2() {
#if defined(IMABOX_HAVE_AVX2_KERNELS) && defined(_MSC_VER)
    int r[4];
    __cpuid(r, 0);
    if (r[0] < 7)
        return false;
    __cpuid(r, 1);
    if ((r[2] & (1 << 27)) == 0 || (r[2] & (1 << 28)) == 0)  // OSXSAVE, AVX
        return false;
    if ((_xgetbv(0) & 6) != 6)
        return false;
    __cpuidex(r, 7, 0);
    return (r[1] & (1 << 5)) != 0;  // AVX2
#elif defined(IMABOX_HAVE_AVX2_KERNELS) && defined(__GNUC__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0, nullptr) < 7)
        return false;
    __cpuid(1, a, b, c, d);
    if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0)
        return false;
    unsigned xcr0 = 0, high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(high) : "c"(0));
    if ((xcr0 & 6) != 6)
        return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & bit_AVX2) != 0;
#else
    return false;  // no AVX2 kernels in this build, or no way to ask: the portable ones
#endif
}

bool CPUHasAVX2() {
    static const bool has = DetectAVX2();
    return has;
}

}  // namespace

#if !defined(IMABOX_HAVE_AVX2_KERNELS)
// Builds without the AVX2 kernels keep their names (tests compare the two sets) for the portable
// loops; ADPCMKernelSupported reports AVX2 as missing, so nothing chooses them.
namespace kernels {
void EncodeLanesAVX2(EncodeLane* lanes, unsigned count, unsigned channels, std::uint64_t blocks) {
    EncodeLanesPortable(lanes, count, channels, blocks);
}
void DecodeJobsAVX2(const std::uint8_t* adpcm, std::int16_t* pcm, unsigned channels,
                    std::uint64_t firstJob, std::uint64_t endJob) {
    DecodeJobsPortable(adpcm, pcm, channels, firstJob, endJob);
}
}  // namespace kernels
namespace search_detail {
SearchKernels AVX2SearchKernels() {
    return PortableSearchKernels();
}
}  // namespace search_detail
#endif

bool ADPCMKernelSupported(ADPCMKernel kernel) {
    return kernel != ADPCMKernel::AVX2 || CPUHasAVX2();
}

ADPCMKernel ADPCMResolveKernel(ADPCMKernel kernel) {
    if (kernel == ADPCMKernel::Best)
        return CPUHasAVX2() ? ADPCMKernel::AVX2 : ADPCMKernel::Portable;
    if (!ADPCMKernelSupported(kernel))
        return ADPCMKernel::Portable;
    return kernel;
}

const char* ADPCMKernelName(ADPCMKernel kernel) {
    switch (kernel) {
        case ADPCMKernel::Best:
            return "best";
        case ADPCMKernel::Portable:
            return "portable";
        case ADPCMKernel::AVX2:
            return "avx2";
    }
    return "?";
}

// The searching encoder's loops where no AVX2 ones run. WebAssembly gets the narrow searches
// written in the compiler's vector types, eight at once in 128-bit SIMD, where the portable ones
// run one search at a time; other processors the portable loops.
static search_detail::SearchKernels PortableOrVectorSearchKernels() {
#if defined(__wasm_simd128__)
    return search_detail::VectorSearchKernels();
#else
    return search_detail::PortableSearchKernels();
#endif
}

const CodecKernels& SelectKernels(ADPCMKernel kernel) {
    static const CodecKernels portable{&kernels::EncodeLanesPortable, kernels::kPortableEncodeLanes,
                                       &kernels::DecodeJobsPortable,
                                       PortableOrVectorSearchKernels()};
    static const CodecKernels avx2{&kernels::EncodeLanesAVX2, kernels::kAVX2EncodeLanes,
                                   &kernels::DecodeJobsAVX2, search_detail::AVX2SearchKernels()};
    return ADPCMResolveKernel(kernel) == ADPCMKernel::AVX2 ? avx2 : portable;
}

}  // namespace imabox
