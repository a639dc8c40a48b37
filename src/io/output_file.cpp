// SPDX-License-Identifier: MIT
#include "io/output_file.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <utility>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

namespace imabox::io {
namespace fs = std::filesystem;

namespace {

// The temporary files of open outputs, for the signal handler: each slot owns a copy of a name
// or is null. Whoever exchanges a name out of its slot owns it; the handler only unlinks it.
constexpr std::size_t kSlots = 1024;
std::array<std::atomic<char*>, kSlots> g_temporaryFiles{};
static_assert(std::atomic<char*>::is_always_lock_free);

void Unregister(int slot) {
    if (slot < 0)
        return;
    // A null name here was taken by the signal handler, which may still be using it: leave it.
    std::unique_ptr<char[]> name(
        g_temporaryFiles[static_cast<std::size_t>(slot)].exchange(nullptr));
}

// ".NAME.<16 hex digits>.tmp" beside `target`, NAME cut so that the whole fits in `nameMax`.
fs::path TemporaryPath(const fs::path& target, std::size_t nameMax) {
    static std::atomic<std::uint64_t> counter{0};
    static const std::uint64_t seed = [] {
        std::random_device device;
        return (std::uint64_t{device()} << 32) ^ device() ^
               static_cast<std::uint64_t>(
                   std::chrono::steady_clock::now().time_since_epoch().count());
    }();
    const std::uint64_t n = seed + 0x9E3779B97F4A7C15ull * ++counter;
    char suffix[32];
    const int suffixLength =
        std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(n));
    const std::size_t room = nameMax > std::size_t(suffixLength) + 2
                                 ? nameMax - static_cast<std::size_t>(suffixLength) - 1
                                 : 1;
    fs::path::string_type base = target.filename().native();
    if (base.size() > room) {
        std::size_t cut = room;
        // Cut between characters: not inside a UTF-8 sequence or a UTF-16 surrogate pair.
        const auto continues = [](auto c) {
            if constexpr (sizeof(c) == 1)
                return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
            else
                return c >= 0xDC00 && c <= 0xDFFF;
        };
        while (cut > 1 && continues(base[cut]))
            --cut;
        base.resize(cut);
    }
    fs::path name = ".";
    name += base;
    name += suffix;
    return target.parent_path() / name;
}

#if !defined(_WIN32)

// Registers `path`; -1 when every slot is taken (the file is then only removed by its owner).
int Register(const fs::path& path) {
    const std::string name = path.string();
    auto copy = std::make_unique<char[]>(name.size() + 1);
    std::memcpy(copy.get(), name.c_str(), name.size() + 1);
    for (std::size_t i = 0; i < kSlots; ++i) {
        char* expected = nullptr;
        if (g_temporaryFiles[i].compare_exchange_strong(expected, copy.get())) {
            copy.release();
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::size_t NameMax(const fs::path& folder) {
    const long max = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    return max > 0 ? static_cast<std::size_t>(max) : 255;
}

// The file a chain of symbolic links ends at (which need not exist); `path` when it is no link.
bool ResolveLinks(fs::path& path, int& error) {
    struct stat st;
    for (int hops = 0; lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode); ++hops) {
        std::error_code ec;
        const fs::path link = fs::read_symlink(path, ec);
        if (hops == 40 || ec) {
            error = ec ? ec.value() : ELOOP;
            return false;
        }
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
    return true;
}

extern "C" void RemoveTemporaryFilesAndReraise(int signal) {
    for (std::atomic<char*>& slot : g_temporaryFiles) {
        if (char* name = slot.exchange(nullptr))
            unlink(name);
    }
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);  // delivered, with the default action, when this handler returns
}

#endif

}  // namespace

std::string OutputError::Message() const {
    const std::string name = path.string();
    switch (step) {
        case Step::Open:
            if (path.empty())
                return "no output file name";
            if (code == std::errc::is_a_directory)
                return name + " is a folder";
            return "cannot open " + name + ": " + code.message();
        case Step::Create:
            return "cannot create " + name + ": " + code.message();
        case Step::Write:
            return "cannot write " + name + ": " + code.message();
        case Step::Replace:
            return "cannot replace " + name + ": " + code.message();
    }
    return name + ": " + code.message();
}

OutputFile OutputFile::Open(const fs::path& path) {
    OutputFile out;
    out.path_ = path;
    out.target_ = path;
    if (path.empty() || !path.has_filename()) {
        out.Fail(OutputError::Step::Open, path.empty() ? ENOENT : EISDIR);
        return out;
    }
#if defined(_WIN32)
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        out.Fail(OutputError::Step::Open, EISDIR);
        return out;
    }
    int error = 0;
    for (int attempt = 0; attempt < 8 && !out.file_; ++attempt) {
        out.temporary_ = TemporaryPath(path, 255);
        // Created only when it does not exist yet: _O_EXCL (msvcrt.dll's fopen has no "x" mode).
        errno = 0;
        const int fd = _wopen(out.temporary_.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                              _S_IREAD | _S_IWRITE);
        error = errno;
        if (fd >= 0) {
            out.file_ = _wfdopen(fd, L"wb");
            if (!out.file_) {
                error = errno ? errno : EIO;
                _close(fd);
                _wremove(out.temporary_.c_str());
                break;
            }
        }
        if (!out.file_ && error != EEXIST)
            break;
    }
    if (!out.file_) {
        out.temporary_.clear();
        out.Fail(OutputError::Step::Create, error ? error : EIO);
        return out;
    }
#else
    int error = 0;
    if (!ResolveLinks(out.target_, error)) {
        out.Fail(OutputError::Step::Open, error);
        return out;
    }
    struct stat st;
    bool exists = stat(out.target_.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        out.Fail(OutputError::Step::Open, errno);
        return out;
    }
    // A link to no real path (/dev/stdout -> /proc/self/fd/1 -> "pipe:[N]") that the system
    // still opens: the path itself is the file.
    if (!exists && out.target_ != path && stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        out.target_ = path;
        exists = true;
    }
    // A write-protected file is not replaced, as cp does not, except by root.
    if (exists && S_ISREG(st.st_mode) && geteuid() != 0 &&
        faccessat(AT_FDCWD, out.target_.c_str(), W_OK, AT_EACCESS) != 0) {
        out.Fail(OutputError::Step::Open, errno);
        return out;
    }
    if (exists && S_ISDIR(st.st_mode)) {
        out.Fail(OutputError::Step::Open, EISDIR);
        return out;
    }
    int fd = -1;
    if (exists && !S_ISREG(st.st_mode)) {  // a FIFO or a device: written in place
        fd = open(out.target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        error = errno;
    } else {
        const std::size_t nameMax = NameMax(out.target_.parent_path());
        for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
            out.temporary_ = TemporaryPath(out.target_, nameMax);
            out.slot_ = Register(out.temporary_);
            fd = open(out.temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                      exists ? 0600 : 0666);
            error = errno;
            if (fd < 0) {
                Unregister(std::exchange(out.slot_, -1));
                out.temporary_.clear();
                if (error != EEXIST)
                    break;
            }
        }
        if (fd >= 0 && exists) {  // keep the replaced file's owner, group and permissions
            // Giving a file away takes privilege (EPERM otherwise); keeping the group may not.
            if (fchown(fd, st.st_uid, st.st_gid) != 0 && fchown(fd, uid_t(-1), st.st_gid) != 0) {
                // The new file belongs to the caller.
            }
            if (fchmod(fd, st.st_mode & 0777) != 0) {
                // Our own new file: cannot fail short of a vanished file system.
            }
        }
    }
    if (fd >= 0) {
        out.file_ = fdopen(fd, "wb");
        error = errno;
        if (!out.file_)
            close(fd);
    }
    if (!out.file_) {
        const bool inPlace = exists && !S_ISREG(st.st_mode);
        out.Discard();
        out.Fail(inPlace ? OutputError::Step::Open : OutputError::Step::Create,
                 error ? error : EIO);
    }
#endif
    if (out.file_)
        out.seekable_ = !out.temporary_.empty();
    return out;
}

OutputFile OutputFile::StandardOutput() {
    OutputFile out;
    out.path_ = "standard output";
    out.target_ = out.path_;
    out.file_ = stdout;
    out.standardOutput_ = true;
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    return out;
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)),
      path_(std::move(other.path_)),
      target_(std::move(other.target_)),
      temporary_(std::exchange(other.temporary_, {})),
      slot_(std::exchange(other.slot_, -1)),
      seekable_(other.seekable_),
      standardOutput_(other.standardOutput_),
      error_(std::move(other.error_)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        Discard();
        file_ = std::exchange(other.file_, nullptr);
        path_ = std::move(other.path_);
        target_ = std::move(other.target_);
        temporary_ = std::exchange(other.temporary_, {});
        slot_ = std::exchange(other.slot_, -1);
        seekable_ = other.seekable_;
        standardOutput_ = other.standardOutput_;
        error_ = std::move(other.error_);
    }
    return *this;
}

OutputFile::~OutputFile() {
    Discard();
}

bool OutputFile::Write(std::span<const std::uint8_t> bytes) {
    if (!file_ || error_.code)
        return false;
    errno = 0;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        Fail(OutputError::Step::Write, errno ? errno : EIO);
        return false;
    }
    return true;
}

bool OutputFile::Commit() {
    if (!file_) {
        if (!error_.code)
            Fail(OutputError::Step::Write, EBADF);
        return false;
    }
    errno = 0;
    bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
    int error = ok ? 0 : (errno ? errno : EIO);
    std::FILE* file = std::exchange(file_, nullptr);
    if (!standardOutput_) {
        errno = 0;
        if (std::fclose(file) != 0 && ok) {
            ok = false;
            error = errno ? errno : EIO;
        }
    }
    if (!ok || error_.code) {
        if (!error_.code)
            Fail(OutputError::Step::Write, error);
        Discard();
        return false;
    }
    if (temporary_.empty())
        return true;
#if defined(_WIN32)
    const bool renamed =
        MoveFileExW(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    error = renamed ? 0 : EACCES;
#else
    const bool renamed = std::rename(temporary_.c_str(), target_.c_str()) == 0;
    error = errno;
#endif
    if (!renamed) {
        Fail(OutputError::Step::Replace, error);
        Discard();
        return false;
    }
    Unregister(std::exchange(slot_, -1));
    temporary_.clear();
    return true;
}

void OutputFile::Fail(OutputError::Step step, int error) {
    error_ = {step, std::error_code(error, std::generic_category()), path_};
}

void OutputFile::Discard() {
    if (file_ && !standardOutput_)
        std::fclose(file_);
    else if (file_)
        std::fflush(file_);
    file_ = nullptr;
    if (!temporary_.empty()) {
        std::error_code ignored;
        fs::remove(temporary_, ignored);
        temporary_.clear();
    }
    Unregister(std::exchange(slot_, -1));
}

void RemoveTemporaryFilesOnSignal() {
#if !defined(_WIN32)
    static std::atomic<bool> installed{false};
    if (installed.exchange(true))
        return;
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    struct sigaction action {};
    action.sa_handler = RemoveTemporaryFilesAndReraise;
    sigemptyset(&action.sa_mask);
    for (const int signal : signals)
        sigaddset(&action.sa_mask, signal);
    for (const int signal : signals) {
        struct sigaction old {};
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
#endif
}

}  // namespace imabox::io
