// SPDX-License-Identifier: MIT
// libimabox.so as a host program uses it: loaded with dlopen, functions found with dlsym.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "exact/exact_messages.hpp"
#include "imabox/convert.hpp"
#include "test_util.hpp"

namespace imabox {
namespace {

using XBoxAudioFn = int32_t (*)(const wchar_t*, const wchar_t*);

// Every name libimabox.so exports; nothing else of ours may appear in its dynamic symbol table.
const std::set<std::string> kExports = {IMABOX_EXPORTED_NAMES};

class SharedLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        handle_ = dlopen(IMABOX_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        xboxAudio_ = reinterpret_cast<XBoxAudioFn>(dlsym(handle_, "XBoxAudio"));
        ASSERT_NE(xboxAudio_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle_)
            dlclose(handle_);
    }

    // Calls XBoxAudio in a child process, as a host would, capturing its standard output.
    test::ChildResult Run(const wchar_t* in, const wchar_t* out) {
        return test::RunInChild([&] { std::exit(xboxAudio_(in, out) == 0 ? 0 : 3); });
    }

    void* handle_ = nullptr;
    XBoxAudioFn xboxAudio_ = nullptr;
    test::TempDir dir;
};

std::wstring Wide(const std::filesystem::path& p) {
    return p.wstring();
}

TEST_F(SharedLibraryTest, ExportsExactlyTheCFunctions) {
    FILE* nm = popen("nm -D --defined-only " IMABOX_SHARED_LIBRARY, "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> exported;
    char line[512];
    while (std::fgets(line, sizeof line, nm)) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (!name.empty())
            exported.insert(name);
    }
    ASSERT_EQ(pclose(nm), 0);
    EXPECT_EQ(exported, kExports);
    for (const std::string& name : kExports) {
        EXPECT_NE(dlsym(handle_, name.c_str()), nullptr) << name;
    }
    EXPECT_EQ(
        dlsym(handle_,
              "_ZN6imabox11ConvertFileERKNSt10filesystem7__cxx114pathES4_RKNS_14ConvertOptionsE"),
        nullptr);
}

// The library converts WAVE alone: libsndfile and libsoxr, which the tool links for other
// containers and rates, are never among its dependencies.
TEST_F(SharedLibraryTest, DependsOnNoMediaLibrary) {
    FILE* readelf = popen("readelf -d " IMABOX_SHARED_LIBRARY, "r");
    ASSERT_NE(readelf, nullptr);
    std::string needed;
    char line[512];
    while (std::fgets(line, sizeof line, readelf))
        if (std::string(line).find("(NEEDED)") != std::string::npos)
            needed += line;
    ASSERT_EQ(pclose(readelf), 0);
    EXPECT_NE(needed.find("libc.so"), std::string::npos) << needed;
    EXPECT_EQ(needed.find("sndfile"), std::string::npos) << needed;
    EXPECT_EQ(needed.find("soxr"), std::string::npos) << needed;
}

TEST_F(SharedLibraryTest, ConvertsOneRequestEndToEnd) {
    test::WriteFileBytes(dir / "in.wav", test::MakePCMWave(1, 8000, test::RandomSamples(100, 1)));
    const auto r = Run(Wide(dir / "in.wav").c_str(), Wide(dir / "out.wav").c_str());
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output, std::string(kBanner) +
                            "Converting PCM -> Xbox ADPCM\n"
                            "Number of samples per channel: 100\n"
                            "Allocating extra size: 30\n"
                            "Converting to Xbox ADPCM - DONE!\n");
    const auto out = test::ReadFileBytes(dir / "out.wav");
    EXPECT_EQ(out.size(), 120u);

    // In process too: it returns 0 and can be called again.
    ASSERT_EQ(xboxAudio_(Wide(dir / "out.wav").c_str(), Wide(dir / "back.wav").c_str()), 0);
    ASSERT_EQ(xboxAudio_(Wide(dir / "out.wav").c_str(), Wide(dir / "back2.wav").c_str()), 0);
    EXPECT_EQ(test::ReadFileBytes(dir / "back.wav").size(), 304u);
}

TEST_F(SharedLibraryTest, NonASCIIPathsWork) {
    // The same names as wide strings (for the call) and as UTF-8 (for the file system).
    const std::wstring wideIn = L"\u00e9t\u00e9 \u65e5\u672c \U0001F3B5.wav";
    const std::u8string utf8In = u8"\u00e9t\u00e9 \u65e5\u672c \U0001F3B5.wav";
    test::WriteFileBytes(dir.path() / std::filesystem::path(utf8In),
                         test::MakePCMWave(2, 8000, test::RandomSamples(130, 2)));
    const std::wstring in = Wide(dir.path()) + L"/" + wideIn;
    const std::wstring out = Wide(dir.path()) + L"/\u00fcbersetzt.wav";
    const auto r = Run(in.c_str(), out.c_str());
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(
        test::ReadFileBytes(dir.path() / std::filesystem::path(u8"\u00fcbersetzt.wav")).size(),
        48u + 72);
}

TEST_F(SharedLibraryTest, FailuresEndTheProcessWithStatus255) {
    test::WriteFileBytes(dir / "in.wav", test::MakePCMWave(1, 8000, {1, 2, 3}));
    test::FmtFields eightBit;
    eightBit.bitsPerSample = 8;
    test::WriteFileBytes(dir / "8bit.wav", test::MakeWave(eightBit, {}, 2, {1, 2}));
    const std::wstring missing = Wide(dir / "missing.wav");
    const std::wstring in = Wide(dir / "in.wav");
    const std::wstring eight = Wide(dir / "8bit.wav");
    const std::wstring noFolder = Wide(dir / "no" / "out.wav");
    const std::wstring out = Wide(dir / "out.wav");

    const struct {
        const wchar_t* in;
        const wchar_t* out;
        std::string expected;
    } cases[] = {
        {missing.c_str(), out.c_str(), "ERROR: Could not open input file!\n"},
        {nullptr, out.c_str(), "ERROR: Could not open input file!\n"},
        {eight.c_str(), out.c_str(),
         "Converting PCM -> Xbox ADPCM\nERROR: Only 16 bps is supported!\n"},
        {in.c_str(), noFolder.c_str(),
         "Converting PCM -> Xbox ADPCM\nNumber of samples per channel: 3\n"
         "Allocating extra size: 62\nERROR: Could not create output file!\n"},
        {in.c_str(), nullptr,
         "Converting PCM -> Xbox ADPCM\nNumber of samples per channel: 3\n"
         "Allocating extra size: 62\nERROR: Could not create output file!\n"},
    };
    for (const auto& c : cases) {
        // The host's exit handlers do not run: this one would print if they did.
        const auto r = test::RunInChild([&] {
            std::atexit([] { std::fputs("exit handler ran\n", stdout); });
            xboxAudio_(c.in, c.out);
            std::fputs("returned\n", stdout);
        });
        EXPECT_EQ(r.exitStatus, 255);
        EXPECT_EQ(r.output, std::string(kBanner) + c.expected);
    }
}

TEST_F(SharedLibraryTest, ToolPrintsExactlyWhatXBoxAudioPrints) {
    test::WriteFileBytes(dir / "in.wav", test::MakePCMWave(2, 8000, test::RandomSamples(300, 5)));
    test::WriteFileBytes(dir / "bad.wav", {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'});
    const std::vector<std::pair<std::string, std::string>> requests = {{"in.wav", "lib.wav"},
                                                                       {"lib.wav", "lib-back.wav"},
                                                                       {"bad.wav", "x.wav"},
                                                                       {"in.wav", "no/x.wav"},
                                                                       {"missing.wav", "x.wav"}};
    for (const auto& [in, out] : requests) {
        const auto lib = Run(Wide(dir / in).c_str(), Wide(dir / out).c_str());
        std::string toolOut = out;
        if (toolOut.rfind("lib", 0) == 0)
            toolOut.replace(0, 3, "tool");
        const std::string toolIn = in == "lib.wav" ? "tool.wav" : in;
        const auto tool = test::RunProgram(
            IMABOX_TOOL, {"convert", (dir / toolIn).string(), (dir / toolOut).string()});
        EXPECT_EQ(tool.output, lib.output) << in;
        EXPECT_EQ(tool.exitStatus, lib.exitStatus == 0 ? 0 : 255) << in;
        EXPECT_EQ(lib.exitStatus == 0, in != "bad.wav" && in != "missing.wav" && out != "no/x.wav");
        if (lib.exitStatus == 0) {
            EXPECT_EQ(test::ReadFileBytes(dir / toolOut), test::ReadFileBytes(dir / out));
        }
    }
}

}  // namespace
}  // namespace imabox
