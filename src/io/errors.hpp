// SPDX-License-Identifier: MIT
// The library's one message table: every Error is made here from its kind.
#pragma once

#include <string>
#include <string_view>

#include "imabox/expected.hpp"

namespace imabox {

// The kind's fixed text, as XBoxAudio prints it for the kinds it reports ("Could not open input
// file!"), or a short phrase for the others.
std::string_view ErrorText(ErrorKind kind);

// An error with the kind's fixed text.
Error MakeError(ErrorKind kind);
// An error that says more: the kind's detailed form with `detail` filled in, e.g. kind Truncated
// with "data chunk declares 100 bytes, 10 present".
Error MakeError(ErrorKind kind, std::string_view detail);

// The text of an errno value; "unknown error" rather than "Success" for 0.
std::string SystemErrorText(int error);

}  // namespace imabox
