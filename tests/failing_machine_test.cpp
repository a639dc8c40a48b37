// Conversions on a machine that fails under them: a full disk, folders that cannot be written or do
// not exist, folders where files are expected, and the input as its own output. Each is checked
// through the C++ API, through `imabox convert` and, for a failed write, through XBoxAudio in
// libimabox.so. Nothing prints "DONE!" after a failed write.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "imabox/convert.hpp"
#include "test_util.hpp"

namespace imabox {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

class FailingMachineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pcm = dir / "in.wav";
        test::WriteFileBytes(pcm, test::MakePCMWave(2, 8000, test::RandomSamples(2 * 6500, 7)));
        adpcm = dir / "in.xbox.wav";
        ASSERT_TRUE(ConvertFile(pcm, adpcm));
        // Both shorter than the output stream's buffer, so only the final flush can fail.
        emptyPCM = dir / "empty.wav";
        test::WriteFileBytes(emptyPCM, test::MakePCMWave(1, 8000, {}));
    }

    // `imabox convert IN OUT`: exit status and everything it printed.
    static test::ChildResult Tool(const fs::path& in, const fs::path& out) {
        return test::RunProgram(IMABOX_TOOL, {"convert", in.string(), out.string()});
    }

    // The API's message, checking that a failure did not print DONE!.
    static std::string ApiError(const fs::path& in, const fs::path& out) {
        std::string console;
        const auto r = ConvertFile(in, out, {[&](std::string_view t) { console += t; }});
        EXPECT_EQ(console.find("DONE!"), std::string::npos) << console;
        return r ? "(no error)" : r.error().message;
    }

    // A failed tool run ends in exactly this error line, with no DONE! anywhere.
    static void ExpectToolFails(const test::ChildResult& r, const std::string& message) {
        EXPECT_EQ(r.exitStatus, 255);
        EXPECT_EQ(r.output.find("DONE!"), std::string::npos) << r.output;
        const std::string last = "ERROR: " + message + "\n";
        ASSERT_GE(r.output.size(), last.size()) << r.output;
        EXPECT_EQ(r.output.substr(r.output.size() - last.size()), last) << r.output;
    }

    test::TempDir dir;
    fs::path pcm, adpcm, emptyPCM;
};

TEST_F(FailingMachineTest, FullDisk) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    for (const fs::path& in : {pcm, adpcm, emptyPCM}) {
        SCOPED_TRACE(in.filename().string());
        EXPECT_EQ(ApiError(in, "/dev/full"), "Could not write output file!");
        ExpectToolFails(Tool(in, "/dev/full"), "Could not write output file!");
    }

    // The exported function ends the process with the same line and never returns.
    void* library = dlopen(IMABOX_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using XBoxAudioFn = int32_t (*)(const wchar_t*, const wchar_t*);
    const auto xboxAudio = reinterpret_cast<XBoxAudioFn>(dlsym(library, "XBoxAudio"));
    ASSERT_NE(xboxAudio, nullptr);
    for (const fs::path& in : {pcm, emptyPCM}) {
        const std::wstring wideIn = in.wstring();
        const auto r = test::RunInChild([&] {
            xboxAudio(wideIn.c_str(), L"/dev/full");
            std::fputs("returned\n", stdout);
        });
        ExpectToolFails(r, "Could not write output file!");
    }
    dlclose(library);
}

TEST_F(FailingMachineTest, MissingFolder) {
    const fs::path out = dir / "no" / "such" / "out.wav";
    EXPECT_EQ(ApiError(pcm, out), "Could not create output file!");
    ExpectToolFails(Tool(adpcm, out), "Could not create output file!");
    EXPECT_FALSE(fs::exists(dir / "no"));
}

TEST_F(FailingMachineTest, OutputIsAFolder) {
    const fs::path out = dir / "folder.wav";
    fs::create_directory(out);
    EXPECT_EQ(ApiError(pcm, out), "Could not create output file!");
    ExpectToolFails(Tool(adpcm, out), "Could not create output file!");
    EXPECT_TRUE(fs::is_directory(out));
}

TEST_F(FailingMachineTest, InputIsAFolder) {
    const fs::path in = dir / "folder.wav";
    fs::create_directory(in);
    const std::string message = ApiError(in, dir / "out.wav");
    // Opening a folder for reading works on some systems and fails on others; reading it never
    // works.
    EXPECT_TRUE(message == "Could not read input file!" || message == "Could not open input file!")
        << message;
    const auto r = Tool(in, dir / "out.wav");
    ExpectToolFails(r, message);
    EXPECT_EQ(r.output, std::string(kBanner) + "ERROR: " + message + "\n");
    EXPECT_FALSE(fs::exists(dir / "out.wav"));
}

TEST_F(FailingMachineTest, InputIsTheOutput) {
    // The input is closed before the output is opened, so converting in place works both ways.
    const fs::path copy = dir / "copy.wav";
    fs::copy_file(pcm, copy);
    const auto r = Tool(copy, copy);
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("Converting to Xbox ADPCM - DONE!\n"), std::string::npos);
    EXPECT_EQ(test::ReadFileBytes(copy), test::ReadFileBytes(adpcm));
    ASSERT_TRUE(ConvertFile(copy, copy));
    ASSERT_TRUE(ConvertFile(adpcm, dir / "decoded.wav"));
    EXPECT_EQ(test::ReadFileBytes(copy), test::ReadFileBytes(dir / "decoded.wav"));
}

TEST_F(FailingMachineTest, ReadOnlyFolder) {
    const fs::path folder = dir / "read-only";
    fs::create_directory(folder);
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    fs::permissions(pcm, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                             fs::perms::others_read);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec);
    const fs::path out = folder / "out.wav";

    // Root writes anywhere: the child gives up its privileges first, then runs the tool.
    const auto r = test::RunInChild([&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            std::fputs("SKIP: cannot drop root privileges\n", stdout);
            return;
        }
        if (access(folder.c_str(), W_OK) == 0) {
            std::fputs("SKIP: the folder is writable anyway\n", stdout);
            return;
        }
        std::string console;
        const auto api = ConvertFile(pcm, out, {[&](std::string_view t) { console += t; }});
        std::printf("API: %s%s\n", api ? "(no error)" : api.error().message.c_str(),
                    console.find("DONE!") == std::string::npos ? "" : " DONE!");
        std::fflush(stdout);
        execl(IMABOX_TOOL, IMABOX_TOOL, "convert", pcm.c_str(), out.c_str(), nullptr);
        std::fputs("exec failed\n", stdout);
    });
    if (r.output.rfind("SKIP: ", 0) == 0)
        GTEST_SKIP() << r.output;
    const std::string api = "API: Could not create output file!\n";
    ASSERT_EQ(r.output.substr(0, api.size()), api) << r.output;
    ExpectToolFails({r.output.substr(api.size()), r.exitStatus}, "Could not create output file!");
    EXPECT_FALSE(fs::exists(out));
}

}  // namespace
}  // namespace imabox
