// SPDX-License-Identifier: MIT
#pragma once

namespace imabox {

// Prints "ERROR: <message>" to standard output, flushes it and ends the process with exit
// status -1 (255 as POSIX reports it). No exit handler of the host runs.
[[noreturn]] void FatalError(const char* message);

}  // namespace imabox
