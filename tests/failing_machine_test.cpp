// SPDX-License-Identifier: MIT
// Conversions on a machine that fails under them: a full disk, folders that cannot be written or do
// not exist, folders where files are expected, and the input as its own output. Each is checked
// through the C++ API, through `imabox convert` and, for a failed write, through XBoxAudio in
// libimabox.so. Nothing prints "DONE!" after a failed write.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "exact/exact_messages.hpp"
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

// `imabox ARGS...` with standard error folded into the output.
test::ChildResult ToolWithErrors(std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" 2>&1", IMABOX_TOOL});
    return test::RunProgram("/bin/sh", args);
}

// Names in `folder` that start with a dot: the hidden temporary outputs.
std::vector<std::string> HiddenFiles(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().front() == '.')
            names.push_back(entry.path().filename().string());
    }
    return names;
}

// encode/decode replace regular files only: a FIFO or a device is written in place, a symbolic
// link keeps pointing at its target, a replaced file keeps its permissions, and names up to the
// file system's limit work.
TEST_F(FailingMachineTest, EncodeOutputsStayWhatTheyAre) {
    const Bytes expected = test::ReadFileBytes(adpcm);
    const auto encode = [&](const fs::path& out) {
        return ToolWithErrors({"encode", "--quiet", pcm.string(), "-o", out.string()});
    };

    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Both ends held here: the tool's open does not wait, and the output (smaller than the pipe's
    // buffer) is read back once it is done, from this FIFO whatever then has its name.
    const int fifoEnds = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fifoEnds, 0);
    auto r = encode(fifo);
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    Bytes received(expected.size() + 1);
    const ssize_t n = read(fifoEnds, received.data(), received.size());
    close(fifoEnds);
    received.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    EXPECT_EQ(received, expected);
    EXPECT_TRUE(fs::is_fifo(fifo));

    const fs::path target = dir / "target.wav", link = dir / "link.wav";
    test::WriteFileBytes(target, {1, 2, 3});
    fs::create_symlink("target.wav", link);
    r = encode(link);
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(test::ReadFileBytes(target), expected);

    const fs::path secret = dir / "secret.wav";
    test::WriteFileBytes(secret, {1, 2, 3});
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(secret.c_str(), 65534, 65534), 0);
    }
    r = encode(secret);
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    struct stat st {};
    ASSERT_EQ(stat(secret.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (root) {  // root may give the file back to its owner
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    EXPECT_EQ(test::ReadFileBytes(secret), expected);

    for (const std::size_t length : {250, 255}) {
        const fs::path longName = dir / std::string(length, 'n');
        r = encode(longName);
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        EXPECT_EQ(test::ReadFileBytes(longName), expected);
    }
    if (fs::exists("/dev/null")) {
        r = encode("/dev/null");
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        EXPECT_TRUE(fs::is_character_file("/dev/null"));
    }
    EXPECT_EQ(HiddenFiles(dir.path()), std::vector<std::string>{});
}

// A conversion ended by SIGINT, SIGTERM or SIGHUP removes its temporary output and ends with the
// signal. The input is a FIFO that never delivers its whole data chunk, so the conversion is still
// running when killed.
TEST_F(FailingMachineTest, SignalRemovesTemporaryOutput) {
    const fs::path input = dir / "endless.wav";
    ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
    const Bytes start = test::MakePCMWave(1, 8000, std::vector<std::int16_t>(4000));
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        // Opened for reading and writing, so that opening does not wait for the tool.
        const int writer = open(input.c_str(), O_RDWR);
        ASSERT_GE(writer, 0);
        // All but the last bytes of the data chunk: the tool streams what it has and waits.
        const std::size_t written = start.size() - 1000;
        ASSERT_EQ(write(writer, start.data(), written), static_cast<ssize_t>(written));
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl(IMABOX_TOOL, IMABOX_TOOL, "encode", input.c_str(), "-o",
                  (dir / "out.wav").c_str(), nullptr);
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (HiddenFiles(dir.path()).empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(HiddenFiles(dir.path()).size(), 1u) << "no temporary output appeared";
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        close(writer);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(HiddenFiles(dir.path()), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(dir / "out.wav"));
    }
}

// encode refuses, before anything is written, every job whose output is an input: another
// job's (by name, or through a link) or its own.
TEST_F(FailingMachineTest, NoOutputOverwritesAnInput) {
    const fs::path out = dir / "out", other = dir / "other.wav";
    fs::create_directory(out);
    fs::copy_file(emptyPCM, out / "in.wav");
    fs::copy_file(pcm, other);
    fs::create_symlink("../other.wav", out / "other.wav");
    const Bytes kept = test::ReadFileBytes(out / "in.wav");
    // in.wav would go to out/in.wav (the second input), out/in.wav onto itself and other.wav
    // through the link onto itself.
    const auto r = ToolWithErrors({"encode", "--quiet", pcm.string(), (out / "in.wav").string(),
                                   other.string(), "-d", out.string()});
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    EXPECT_NE(r.output.find("output " + (out / "in.wav").string() + " is the input " +
                            (out / "in.wav").string() + ": it would be overwritten"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("encode: 0 of 3 files converted, 3 failed"), std::string::npos)
        << r.output;
    EXPECT_EQ(test::ReadFileBytes(out / "in.wav"), kept);
    EXPECT_EQ(test::ReadFileBytes(other), test::ReadFileBytes(pcm));
    EXPECT_EQ(HiddenFiles(out), std::vector<std::string>{});
}

// Runs `command` with sh on a new terminal; returns what the terminal showed and the status.
test::ChildResult OnTerminal(const std::string& command) {
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
        _exit(127);
    }
    test::ChildResult r;
    if (pid < 0)
        return r;
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;)
        r.output.append(buffer, static_cast<std::size_t>(n));
    close(terminal);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// Past the file-size limit a write fails with one line, the temporary file goes and the batch
// goes on; a run ended by a closed pipe leaves no progress line on the terminal; binary output
// is not written onto a terminal.
TEST_F(FailingMachineTest, SignalsAndLimits) {
    const fs::path big = dir / "big.wav", out = dir / "out";
    test::WriteFileBytes(big, test::MakePCMWave(2, 44100, test::RandomSamples(2 * 200000, 3)));
    auto r = test::RunProgram("/bin/sh", {"-c",
                                          "ulimit -f 64 && exec \"$0\" encode -j1 \"$1\" "
                                          "\"$2\" -d \"$3\" 2>&1",
                                          IMABOX_TOOL, big.string(), pcm.string(), out.string()});
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    EXPECT_NE(r.output.find("imabox: " + big.string() + ": cannot write " +
                            (out / "big.wav").string() + ": File too large\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(test::ReadFileBytes(out / "in.wav"), test::ReadFileBytes(adpcm));
    EXPECT_FALSE(fs::exists(out / "big.wav"));
    EXPECT_EQ(HiddenFiles(out), std::vector<std::string>{});

    const std::string tool = std::string("'") + IMABOX_TOOL + "' ";
    r = OnTerminal(tool + "encode '" + big.string() + "' -o - | true");
    const std::size_t progress = r.output.rfind("[0/1] 0 failed");
    ASSERT_NE(progress, std::string::npos) << r.output;
    EXPECT_EQ(r.output.substr(progress + 14), "\r\033[K") << r.output;

    r = OnTerminal(tool + "decode '" + adpcm.string() + "' -o -");
    EXPECT_EQ(r.exitStatus, 2) << r.output;
    EXPECT_EQ(r.output,
              "imabox: standard output is a terminal; redirect it to a file or a pipe, "
              "or name the output with -o FILE\r\n");
}

// Output names: other names of standard output, .wav in any case and .wave are WAVE, a
// write-protected file is refused except by root, and --like keeps --rate's range.
TEST_F(FailingMachineTest, OutputNames) {
    const Bytes decoded = [&] {
        EXPECT_TRUE(ConvertFile(adpcm, dir / "decoded.wav"));
        return test::ReadFileBytes(dir / "decoded.wav");
    }();
    for (const std::string name : {"x.Wav", "x.wave"}) {
        const auto r =
            ToolWithErrors({"decode", "--quiet", adpcm.string(), "-o", (dir / name).string()});
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        EXPECT_EQ(test::ReadFileBytes(dir / name), decoded) << name;
    }
    for (const std::string name : {"/dev/stdout", "/proc/self/fd/1"}) {
        const auto r =
            test::RunProgram("/bin/sh", {"-c", "\"$0\" encode \"$1\" -o \"$2\" 2>/dev/null | cat",
                                         IMABOX_TOOL, pcm.string(), name});
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(Bytes(r.output.begin(), r.output.end()), test::ReadFileBytes(adpcm)) << name;
    }

    test::WriteFileBytes(dir / "one_hz.wav", test::MakePCMWave(1, 1, {0, 0}));
    auto r = ToolWithErrors({"encode", pcm.string(), "--like", (dir / "one_hz.wav").string(), "-o",
                             (dir / "like.wav").string()});
    EXPECT_EQ(r.exitStatus, 2) << r.output;
    EXPECT_FALSE(fs::exists(dir / "like.wav"));

    const fs::path protectedFile = dir / "ro.wav";
    test::WriteFileBytes(protectedFile, {1, 2, 3});
    ASSERT_EQ(chmod(protectedFile.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    r = test::RunInChild([&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            return;
        execl(IMABOX_TOOL, IMABOX_TOOL, "encode", "--quiet", pcm.c_str(), "-o",
              protectedFile.c_str(), nullptr);
    });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(test::ReadFileBytes(protectedFile), (Bytes{1, 2, 3}));
}

// Usage errors end with status 2 and CLI11's message; names and folders get one plain line.
TEST_F(FailingMachineTest, UsageErrors) {
    const auto expectUsage = [](const std::vector<std::string>& args, const std::string& line) {
        const auto r = ToolWithErrors(args);
        EXPECT_EQ(r.exitStatus, 2) << r.output;
        EXPECT_EQ(r.output.substr(0, r.output.find('\n')), line) << r.output;
    };
    expectUsage({"bogus"}, "imabox: unknown command: bogus");
    expectUsage({"encode"}, "inputs is required");
    expectUsage({"encode", ""}, "inputs: empty file name");
    expectUsage({"decode", adpcm.string(), "-o", ""}, "--output: empty file name");
    expectUsage({"encode", pcm.string(), "-o", dir.path().string()},
                "--output: " + dir.path().string() + " is a folder (-d DIR writes into a folder)");
#if defined(IMABOX_HAVE_RECORDER)
    expectUsage({"record", "x.wav", "--seconds", "0"},
                "--seconds: Value 0 not in range 1 to 2147483647");
#else
    expectUsage({"record", "x.wav"}, "imabox: unknown command: record");
#endif
    expectUsage({"convert", pcm.string()}, "output is required");
    EXPECT_EQ(ToolWithErrors({"--help"}).exitStatus, 0);
}

}  // namespace
}  // namespace imabox
