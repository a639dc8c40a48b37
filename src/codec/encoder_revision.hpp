// SPDX-License-Identifier: MIT
// The encoder revision: one number that names the exact bytes imabox writes for a given input.
// Raise it by one in any change that alters the output of an encoder level, the decoder or the
// conversion of source samples to 16 bits (dither included), even when the version does not
// change. tests/encoder_revision_test.cpp pins a digest of that output to this number.
#pragma once

namespace imabox {

inline constexpr int kEncoderRevision = 4;

}  // namespace imabox
