// SPDX-License-Identifier: MIT
// OutputFile: what happens to the temporary file when the output is abandoned, cannot be written,
// cannot be opened, or the process is ended by a signal. The policy for FIFOs, links, modes and
// long names is checked through the tool in failing_machine_test.
#include "io/output_file.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "io/byte_stream.hpp"
#include "io/file.hpp"
#include "test_util.hpp"

namespace imabox::io {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    return names;
}

TEST(OutputFileTest, ReplacesOnlyOnCommit) {
    test::TempDir dir;
    const fs::path target = dir / std::string(255, 'x');  // the temporary name must be cut
    test::WriteFileBytes(target, {1, 2, 3});
    {
        OutputFile out = OutputFile::Open(target);
        ASSERT_TRUE(out) << out.error().Message();
        EXPECT_TRUE(out.seekable());
        EXPECT_TRUE(out.Write(Bytes(1000, 7)));
        EXPECT_EQ(Names(dir.path()).size(), 2u);
    }  // abandoned
    EXPECT_EQ(test::ReadFileBytes(target), (Bytes{1, 2, 3}));
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{target.filename().string()});

    OutputFile out = OutputFile::Open(target);
    ASSERT_TRUE(out);
    EXPECT_TRUE(out.Write(Bytes{4, 5}));
    // A writer may seek back to patch what it wrote first.
    ASSERT_EQ(std::fseek(out.stream(), 0, SEEK_SET), 0);
    EXPECT_TRUE(out.Write(Bytes{6}));
    ASSERT_TRUE(out.Commit()) << out.error().Message();
    EXPECT_FALSE(out);
    EXPECT_EQ(test::ReadFileBytes(target), (Bytes{6, 5}));
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{target.filename().string()});
}

TEST(OutputFileTest, DanglingLinkCreatesItsTarget) {
    test::TempDir dir;
    fs::create_symlink("made.wav", dir / "link.wav");
    OutputFile out = OutputFile::Open(dir / "link.wav");
    ASSERT_TRUE(out) << out.error().Message();
    EXPECT_TRUE(out.Write(Bytes{9}));
    ASSERT_TRUE(out.Commit());
    EXPECT_TRUE(fs::is_symlink(dir / "link.wav"));
    EXPECT_EQ(test::ReadFileBytes(dir / "made.wav"), Bytes{9});
}

TEST(OutputFileTest, Failures) {
    if (fs::exists("/dev/full")) {  // a device is written in place; the full disk shows on Commit
        OutputFile out = OutputFile::Open("/dev/full");
        ASSERT_TRUE(out) << out.error().Message();
        EXPECT_FALSE(out.seekable());
        out.Write(Bytes(100, 1));
        EXPECT_FALSE(out.Commit());
        EXPECT_EQ(out.error().step, OutputError::Step::Write);
        EXPECT_EQ(out.error().Message(), "cannot write /dev/full: No space left on device");
        EXPECT_TRUE(fs::is_character_file("/dev/full"));
    }
    test::TempDir dir;
    OutputFile folder = OutputFile::Open(dir.path());
    EXPECT_FALSE(folder);
    EXPECT_EQ(folder.error().Message(), dir.path().string() + " is a folder");
    EXPECT_EQ(OutputFile::Open("").error().Message(), "no output file name");
    OutputFile missing = OutputFile::Open(dir / "no" / "out.wav");
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.error().step, OutputError::Step::Create);
    EXPECT_EQ(missing.error().code, std::errc::no_such_file_or_directory);
    EXPECT_FALSE(missing.Commit());
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{});
}

// Runs `body` in a child process; returns its wait status.
int StatusOfChild(const std::function<void()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(OutputFileTest, SignalsRemoveTemporaryFiles) {
    test::TempDir dir;
    int status = StatusOfChild([&] {
        RemoveTemporaryFilesOnSignal();
        OutputFile a = OutputFile::Open(dir / "a.wav");
        OutputFile b = OutputFile::Open(dir / "b.wav");
        if (a && b && a.Write(Bytes(10)) && Names(dir.path()).size() == 2)
            raise(SIGHUP);
        _exit(3);
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{});

    // A signal the process ignores stays ignored.
    status = StatusOfChild([&] {
        std::signal(SIGTERM, SIG_IGN);
        RemoveTemporaryFilesOnSignal();
        OutputFile a = OutputFile::Open(dir / "a.wav");
        raise(SIGTERM);
        if (!a || !a.Commit())
            _exit(3);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"a.wav"});
}

// The system copies a range of one file onto the end of another, whether or not the two offsets
// lie alike within their memory pages, and the stream goes on after it.
TEST(FileCopyTest, CopiesRangesAtAnyOffsets) {
    test::TempDir dir;
    Bytes source(3 << 20);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<std::uint8_t>(i * 7 + (i >> 12));
    test::WriteFileBytes(dir / "in", source);
    for (const std::size_t head : {std::size_t{48}, std::size_t{2048 + 48}}) {
        SCOPED_TRACE(head);
        FileHandle in = OpenFile(dir / "in", "rb");
        FileHandle out = OpenFile(dir / "out", "wb");
        ASSERT_TRUE(in && out);
        FileByteSink sink(out.get());
        ASSERT_TRUE(sink.Write(Bytes(head, 0x55)));
        const std::uint64_t copied = sink.CopyFromFile(in.get(), 48, source.size() - 100);
        ASSERT_TRUE(sink.Write(Bytes{1, 2, 3}));
        out.reset();
        Bytes expected(head, 0x55);
        expected.insert(expected.end(), source.begin() + 48,
                        source.begin() + 48 + static_cast<std::ptrdiff_t>(copied));
        expected.insert(expected.end(), {1, 2, 3});
        EXPECT_EQ(copied, source.size() - 100);
        EXPECT_EQ(test::ReadFileBytes(dir / "out"), expected);
    }
}

}  // namespace
}  // namespace imabox::io
