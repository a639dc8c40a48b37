// SPDX-License-Identifier: MIT
// An output file written in pieces, with one policy for what already exists at its name:
// - nothing, or a regular file: the bytes go to a hidden temporary file beside it, renamed over it
//   only by Commit(); a replaced file keeps its permission bits (and owner and group where the
//   process may set them);
//   a write-protected file is refused (as cp refuses it) unless the process runs as root;
// - a symbolic link: followed, its final target is replaced as above and the link is kept; a
//   link to no real path that still opens (/dev/stdout on a pipe) is opened itself;
// - anything else (FIFO, character device such as /dev/null): opened and written in place, never
//   replaced;
// - a folder, or an empty name: an error.
// Temporary names always fit the file system's name limit. Without Commit() the temporary file is
// removed. On Windows the output is always a temporary file renamed over the target.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>

namespace imabox::io {

struct OutputError {
    enum class Step {
        Open,    // the output cannot be opened: an empty name, a folder, a FIFO or device refused
        Create,  // no temporary file can be created beside the output (no such folder, no access)
        Write,   // a write, flush or close failed (a full disk)
        Replace  // the finished temporary file cannot be renamed over the output
    };
    Step step = Step::Open;
    std::error_code code;
    std::filesystem::path path;  // the output's name as given

    // One plain line, e.g. "cannot write out.wav: No space left on device".
    std::string Message() const;
};

class OutputFile {
  public:
    // Opens `path` for writing under the policy above. Check the result with operator bool.
    static OutputFile Open(const std::filesystem::path& path);
    // Standard output in binary mode, written in place; never seekable. Commit() flushes it and
    // leaves it open.
    static OutputFile StandardOutput();

    OutputFile() = default;  // closed
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // without Commit(): closes, and removes the temporary file

    // True while open; false after a failed Open() (see error()) and after Commit().
    explicit operator bool() const { return file_ != nullptr; }
    const OutputError& error() const { return error_; }

    // The buffered stream to write (and, when seekable(), to seek) on.
    std::FILE* stream() const { return file_; }
    // Writes all of `bytes`; false on failure, with error() set.
    bool Write(std::span<const std::uint8_t> bytes);
    // True when the bytes go to a regular file, so a writer may seek back to patch a header.
    bool seekable() const { return seekable_; }
    // The name given to Open().
    const std::filesystem::path& path() const { return path_; }

    // Flushes and closes, then renames the temporary file over the output. False on any failure
    // (error() says which); the temporary file is then removed.
    bool Commit();

  private:
    void Fail(OutputError::Step step, int error);
    void Discard();

    std::FILE* file_ = nullptr;
    std::filesystem::path path_;       // as given
    std::filesystem::path target_;     // the file replaced: path_, or a symbolic link's target
    std::filesystem::path temporary_;  // empty when written in place
    int slot_ = -1;                    // the temporary file's slot in the signal registry
    bool seekable_ = false;
    bool standardOutput_ = false;
    OutputError error_;
};

// Makes SIGINT, SIGTERM, SIGHUP and SIGPIPE remove the temporary files of open OutputFiles before
// the process ends with the signal's usual status. For programs to call once at start; a signal the
// process ignores stays ignored. Does nothing on Windows.
void RemoveTemporaryFilesOnSignal();

}  // namespace imabox::io
