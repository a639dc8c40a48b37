// SPDX-License-Identifier: MIT
#include "exact/fatal_error.hpp"

#include <cstdio>
#include <cstdlib>

namespace imabox {

void FatalError(const char* message) {
    std::printf("ERROR: %s\n", message);
    std::fflush(stdout);
    std::_Exit(-1);
}

}  // namespace imabox
