// SPDX-License-Identifier: MIT
#include "io/wide_path.hpp"

#include <cstdint>
#include <cwchar>
#include <string>

namespace imabox {

#if !defined(_WIN32)
namespace {

void AppendUTF8(std::string& out, std::uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace
#endif

std::filesystem::path WidePathToFilesystem(const wchar_t* path) {
    if (path == nullptr)
        return {};
#if defined(_WIN32)
    // Kept as UTF-16 and opened with the wide open: narrowing to the ANSI code page would lose
    // (or best-fit onto other names) every character that page cannot hold.
    return std::filesystem::path(std::wstring(path));
#else
    std::string utf8;
    const std::size_t n = std::wcslen(path);
    utf8.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t cp = static_cast<std::uint32_t>(path[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            // UTF-16 surrogate pair.
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n) {
                const auto low = static_cast<std::uint32_t>(path[i + 1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        AppendUTF8(utf8, cp);
    }
    return std::filesystem::path(utf8);
#endif
}

std::filesystem::path PathFromUtf8(std::string_view text) {
#if defined(_WIN32)
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
#else
    return std::filesystem::path(text);
#endif
}

std::string PathToUtf8(const std::filesystem::path& path) {
#if defined(_WIN32)
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
#else
    return path.string();
#endif
}

}  // namespace imabox
