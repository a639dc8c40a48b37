// The searching encoder's inner loops compiled for AVX2 (-mavx2): eight states per vector.
#define IMABOX_SEARCH_KERNEL_NAMESPACE avx2
#include "codec/xbox_adpcm_search_kernels.hpp"

namespace imabox::search_detail {

SearchKernels AVX2SearchKernels() {
    return {&avx2::ScanStarts, &avx2::Expand};
}

}  // namespace imabox::search_detail
