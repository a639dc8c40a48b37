// SPDX-License-Identifier: MIT
// The library's version (set by the build) and its encoder revision.
#include "imabox/version.hpp"

#include "codec/encoder_revision.hpp"

#ifndef IMABOX_VERSION
#error "the build defines IMABOX_VERSION"
#endif

namespace imabox {

std::string_view Version() {
    return IMABOX_VERSION;
}

int EncoderRevision() {
    return kEncoderRevision;
}

}  // namespace imabox
