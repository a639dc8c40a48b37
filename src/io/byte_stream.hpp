// SPDX-License-Identifier: MIT
// Byte streams the readers draw from and the writers write to: a span of memory, an open file
// (a regular file, a pipe, standard input or output) or anything else that implements them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <vector>

#include "imabox/expected.hpp"

namespace imabox {

// 16-bit samples are little-endian in files: swaps them in place on a big-endian host.
inline void SamplesToFileOrder(std::span<std::int16_t> samples) {
    if constexpr (std::endian::native == std::endian::big) {
        for (auto& s : samples) {
            const auto u = static_cast<std::uint16_t>(s);
            s = static_cast<std::int16_t>((u >> 8) | (u << 8));
        }
    }
}

// The bytes of 16-bit samples (in file order once SamplesToFileOrder has run).
inline std::span<std::uint8_t> SampleBytes(std::span<std::int16_t> samples) {
    return {reinterpret_cast<std::uint8_t*>(samples.data()), samples.size_bytes()};
}

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Reads up to out.size() bytes; returns how many were read (fewer only at the end of the
    // input or on a failure).
    virtual std::size_t Read(std::span<std::uint8_t> out) = 0;
    // Moves forward by `bytes` (past the end is allowed: later reads return nothing).
    virtual void Skip(std::uint64_t bytes) = 0;
    // True once a read failed for a reason other than the end of the input.
    virtual bool Failed() const = 0;
    // The errno of the failure, when there is one.
    virtual int ErrorNumber() const { return 0; }
    // Bytes consumed so far (read or skipped) from the start.
    virtual std::uint64_t Position() const = 0;
    // The whole input's size, when it is known before reading it (regular files and memory).
    virtual std::optional<std::uint64_t> Size() const = 0;
    // Whether Seek works: true for regular files and memory, false for pipes and terminals.
    virtual bool Seekable() const = 0;
    // Moves to an absolute position; false when the source cannot seek.
    virtual bool Seek(std::uint64_t position) = 0;
    // The regular file read, for copies the system makes by itself (ByteSink::CopyFromFile);
    // nullptr for anything else.
    virtual std::FILE* NativeFile() const { return nullptr; }
};

class MemoryByteSource final : public ByteSource {
  public:
    explicit MemoryByteSource(std::span<const std::uint8_t> data) : data_(data) {}
    std::size_t Read(std::span<std::uint8_t> out) override;
    void Skip(std::uint64_t bytes) override;
    bool Failed() const override { return false; }
    std::uint64_t Position() const override { return position_; }
    std::optional<std::uint64_t> Size() const override { return data_.size(); }
    bool Seekable() const override { return true; }
    bool Seek(std::uint64_t position) override;

  private:
    std::span<const std::uint8_t> data_;
    std::size_t position_ = 0;
};

// Reads an open stdio stream (not owned). Regular files are seekable and sized; anything else is
// read as a stream, and Skip reads past what it skips.
class FileByteSource final : public ByteSource {
  public:
    explicit FileByteSource(std::FILE* file);
    std::size_t Read(std::span<std::uint8_t> out) override;
    void Skip(std::uint64_t bytes) override;
    bool Failed() const override { return error_ != 0; }
    int ErrorNumber() const override { return error_; }
    std::uint64_t Position() const override { return position_; }
    std::optional<std::uint64_t> Size() const override { return size_; }
    bool Seekable() const override { return size_.has_value(); }
    bool Seek(std::uint64_t position) override;
    std::FILE* NativeFile() const override { return size_ ? file_ : nullptr; }

  private:
    std::FILE* file_;
    std::optional<std::uint64_t> size_;  // set for regular files
    std::uint64_t position_ = 0;
    int error_ = 0;
};

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // Appends all of `bytes`; false when they could not be stored.
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
    // Whether WriteAt works (a regular file or memory, not a pipe).
    virtual bool Seekable() const { return false; }
    // Overwrites bytes already written, e.g. a header whose sizes were not known in advance.
    virtual bool WriteAt(std::uint64_t, std::span<const std::uint8_t>) { return false; }
    // The errno of the last failure, when there is one.
    virtual int ErrorNumber() const { return 0; }
    // Appends up to `length` bytes at `offset` of the regular file `from` by a copy the system
    // makes without passing them through the process (Linux splice through a pipe, or
    // copy_file_range); returns how many were appended, 0 when it cannot (the caller then copies
    // the rest itself).
    virtual std::uint64_t CopyFromFile(std::FILE*, std::uint64_t, std::uint64_t) { return 0; }
    // The error to report for the last failed write: by default OutputWrite with the errno's
    // text.
    virtual Error WriteError() const;
};

class MemoryByteSink final : public ByteSink {
  public:
    explicit MemoryByteSink(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    bool Write(std::span<const std::uint8_t> bytes) override;
    bool Seekable() const override { return true; }
    bool WriteAt(std::uint64_t position, std::span<const std::uint8_t> bytes) override;

  private:
    std::vector<std::uint8_t>& bytes_;
};

// Writes to an open stdio stream (not owned).
class FileByteSink final : public ByteSink {
  public:
    explicit FileByteSink(std::FILE* file);
    bool Write(std::span<const std::uint8_t> bytes) override;
    bool Seekable() const override { return seekable_; }
    bool WriteAt(std::uint64_t position, std::span<const std::uint8_t> bytes) override;
    int ErrorNumber() const override { return error_; }
    std::uint64_t CopyFromFile(std::FILE* from, std::uint64_t offset,
                               std::uint64_t length) override;

  private:
    std::FILE* file_;
    bool seekable_ = false;
    int error_ = 0;
};

}  // namespace imabox
