// SPDX-License-Identifier: MIT
// imabox C++ API: the library's version and its encoder revision.
//
// The encoder revision changes exactly when the bytes imabox writes for the same input and
// options change (an encoder level retuned, dither changed...), which a new version alone does
// not tell. Build systems that cache converted files should put it in their cache keys.
#pragma once

#include <string_view>

namespace imabox {

// The library's version, e.g. "1.0.0.1".
std::string_view Version();

// The encoder revision: a positive number, raised whenever the output for the same input and
// options changes.
int EncoderRevision();

}  // namespace imabox
