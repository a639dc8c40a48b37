// SPDX-License-Identifier: MIT
#include "io/byte_stream.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

#include <sys/stat.h>
#include <sys/types.h>
#if defined(__linux__)
#include <fcntl.h>
#include <unistd.h>
#endif

#include "io/errors.hpp"

namespace imabox {
namespace {

bool SeekFile(std::FILE* file, std::uint64_t position, int whence) {
#if defined(_WIN32)
    if (position > std::uint64_t{std::numeric_limits<long long>::max()})
        return false;
    return _fseeki64(file, static_cast<long long>(position), whence) == 0;
#else
    if (position > std::uint64_t{std::numeric_limits<off_t>::max()})
        return false;
    return fseeko(file, static_cast<off_t>(position), whence) == 0;
#endif
}

#if defined(__linux__)
// Copies `length` bytes between two files at the given offsets through a pipe the system fills
// with the source's pages and empties into the destination, a MiB at a time. copy_file_range
// does the same through a small pipe: a quarter slower when the two offsets do not lie alike
// within their pages, and slower beside another thread writing (a bank's new entry).
// Returns how many bytes reached the destination.
std::uint64_t SpliceCopy(int from, loff_t in, int to, loff_t out, std::uint64_t length) {
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0)
        return 0;
    constexpr int kPipeBytes = 1 << 20;
    const long capacity = fcntl(pipe[1], F_SETPIPE_SZ, kPipeBytes);
    const std::size_t piece = capacity > 0 ? static_cast<std::size_t>(capacity) : 65536;
    std::uint64_t done = 0;
    while (done < length) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, piece));
        ssize_t held = splice(from, &in, pipe[1], nullptr, want, SPLICE_F_MOVE);
        if (held <= 0)
            break;
        while (held > 0) {
            const ssize_t n =
                splice(pipe[0], nullptr, to, &out, static_cast<std::size_t>(held), SPLICE_F_MOVE);
            if (n <= 0)
                break;
            held -= n;
            done += static_cast<std::uint64_t>(n);
        }
        if (held > 0)
            break;
    }
    close(pipe[0]);
    close(pipe[1]);
    return done;
}
#endif

// The size of a regular file; nothing for pipes, terminals and devices.
std::optional<std::uint64_t> RegularFileSize(std::FILE* file) {
#if defined(_WIN32)
    struct _stat64 st;
    if (_fstat64(_fileno(file), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG)
        return std::nullopt;
#else
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
#endif
    return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

std::size_t MemoryByteSource::Read(std::span<std::uint8_t> out) {
    const std::size_t n = std::min(out.size(), data_.size() - position_);
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(position_), n, out.begin());
    position_ += n;
    return n;
}

void MemoryByteSource::Skip(std::uint64_t bytes) {
    position_ += static_cast<std::size_t>(std::min<std::uint64_t>(bytes, data_.size() - position_));
}

bool MemoryByteSource::Seek(std::uint64_t position) {
    position_ = static_cast<std::size_t>(std::min<std::uint64_t>(position, data_.size()));
    return true;
}

FileByteSource::FileByteSource(std::FILE* file) : file_(file) {
    size_ = RegularFileSize(file);
    if (size_) {
        // The stream may not start at the beginning (standard input redirected mid-file).
#if defined(_WIN32)
        const long long at = _ftelli64(file);
#else
        const off_t at = ftello(file);
#endif
        if (at < 0)
            size_.reset();
        else
            position_ = static_cast<std::uint64_t>(at);
    }
}

std::size_t FileByteSource::Read(std::span<std::uint8_t> out) {
    if (out.empty() || error_ != 0)
        return 0;
    errno = 0;
    const std::size_t n = std::fread(out.data(), 1, out.size(), file_);
    position_ += n;
    if (n < out.size() && std::ferror(file_))
        error_ = errno != 0 ? errno : EIO;
    return n;
}

void FileByteSource::Skip(std::uint64_t bytes) {
    if (bytes == 0 || error_ != 0)
        return;
    if (size_ && SeekFile(file_, bytes, SEEK_CUR)) {
        position_ += bytes;
        return;
    }
    // Not seekable (a pipe): read past the bytes instead.
    std::array<std::uint8_t, 1 << 14> discard;
    while (bytes > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, discard.size()));
        const std::size_t got = Read(std::span(discard).first(want));
        if (got == 0)
            break;
        bytes -= got;
    }
}

bool FileByteSource::Seek(std::uint64_t position) {
    if (!size_ || error_ != 0 || !SeekFile(file_, position, SEEK_SET))
        return false;
    position_ = position;
    return true;
}

bool MemoryByteSink::Write(std::span<const std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return true;
}

bool MemoryByteSink::WriteAt(std::uint64_t position, std::span<const std::uint8_t> bytes) {
    if (position > bytes_.size() || bytes.size() > bytes_.size() - position)
        return false;
    std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(position));
    return true;
}

FileByteSink::FileByteSink(std::FILE* file) : file_(file) {
    seekable_ = RegularFileSize(file).has_value();
}

bool FileByteSink::Write(std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        return true;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size())
        return true;
    error_ = errno != 0 ? errno : EIO;
    return false;
}

bool FileByteSink::WriteAt(std::uint64_t position, std::span<const std::uint8_t> bytes) {
    if (!seekable_)
        return false;
    errno = 0;
    bool ok = std::fflush(file_) == 0 && SeekFile(file_, position, SEEK_SET) &&
              std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
    ok = SeekFile(file_, 0, SEEK_END) && ok;
    if (!ok)
        error_ = errno != 0 ? errno : EIO;
    return ok;
}

std::uint64_t FileByteSink::CopyFromFile(std::FILE* from, std::uint64_t offset,
                                         std::uint64_t length) {
#if defined(__linux__)
    if (!seekable_ || length == 0 || std::fflush(file_) != 0)
        return 0;
    const off_t start = ftello(file_);
    if (start < 0 || offset > std::uint64_t{std::numeric_limits<off_t>::max()})
        return 0;
    loff_t in = static_cast<loff_t>(offset);
    loff_t out = start;
    std::uint64_t done = SpliceCopy(fileno(from), in, fileno(file_), out, length);
    in += static_cast<loff_t>(done);
    out += static_cast<loff_t>(done);
    while (done < length) {
        const auto piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(length - done, 1 << 30));
        const ssize_t n = copy_file_range(fileno(from), &in, fileno(file_), &out, piece, 0);
        if (n <= 0)
            break;
        done += static_cast<std::uint64_t>(n);
    }
    // The stream goes on after what the system wrote.
    if (done != 0 && !SeekFile(file_, static_cast<std::uint64_t>(start) + done, SEEK_SET)) {
        error_ = errno != 0 ? errno : EIO;
        return 0;
    }
    return done;
#else
    (void)from;
    (void)offset;
    (void)length;
    return 0;
#endif
}

Error ByteSink::WriteError() const {
    return MakeError(ErrorKind::OutputWrite, SystemErrorText(ErrorNumber()));
}

}  // namespace imabox
