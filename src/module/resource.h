// SPDX-License-Identifier: MIT
// Identifiers of imabox.dll's resources. No code of the library reads them.
#pragma once

#define IDS_SOCKETS_INIT_FAILED 101
#define IDR_TYPELIB 1
