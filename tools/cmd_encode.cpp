// SPDX-License-Identifier: MIT
// imabox encode / imabox decode: convert many WAVE files at once, in parallel, with an explicit
// direction. Each output is written to a temporary file and renamed into place when complete.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "commands.hpp"
#include "imabox/convert.hpp"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#define IMABOX_ISATTY(fd) _isatty(fd)
#else
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#define IMABOX_ISATTY(fd) isatty(fd)
#endif

namespace imabox::tool {
namespace {

namespace fs = std::filesystem;

// "-" as an input is standard input, as an output standard output.
constexpr const char* kStandardStream = "-";
// The output rates --rate and --like may ask for.
constexpr std::uint32_t kMinRate = 1000;
constexpr std::uint32_t kMaxRate = 768000;

struct BatchArgs {
    bool encode = true;  // encode, or decode
    std::vector<std::string> inputs;
    std::string output;     // -o
    std::string directory;  // -d
    unsigned jobs = 0;      // 0: all cores
    unsigned threads = 0;   // --threads: searching coder's threads per file; 0: cores left by -j
    int quality = 0;
    std::string loopAlign = "resample";
    double maxLoopCents = kDefaultMaxLoopCents;
    bool quiet = false;
    std::uint32_t rate = 0;  // --rate
    unsigned channels = 0;   // --channels
    std::string like;        // --like
    bool raw = false;        // --raw
    std::string format;      // --format (decode)
};

struct Job {
    fs::path input;
    fs::path output;
    std::string error;  // set before the run when the output cannot be chosen
};

// encode: NAME.wav -> NAME.xbox.wav; decode: NAME.wav -> NAME.pcm.wav (NAME.pcm.flac with
// --format flac). Standard input goes to standard output.
fs::path DefaultOutput(const fs::path& input, const BatchArgs& args) {
    if (input == kStandardStream)
        return kStandardStream;
    fs::path out = input;
    if (args.encode)
        out.replace_extension(".xbox.wav");
    else
        out.replace_extension(".pcm." + (args.format.empty() ? std::string("wav") : args.format));
    return out;
}

std::string LowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// What names a file: its absolute path with links resolved and, where the file exists, its
// device and inode (the same file under another name or through a hard link).
struct FileIdentity {
    std::string path;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> inode;
};

FileIdentity Identify(const fs::path& name) {
    FileIdentity id;
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(fs::absolute(name, ec), ec);
    id.path = PathToUtf8(ec ? name.lexically_normal() : resolved);
#if !defined(_WIN32)
    // Only regular files are replaced: a device or FIFO output is written in place.
    struct stat st;
    if (::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        id.inode = std::pair<std::uint64_t, std::uint64_t>(st.st_dev, st.st_ino);
#endif
    return id;
}

std::vector<Job> PlanJobs(const BatchArgs& args) {
    std::vector<Job> jobs;
    std::map<fs::path, std::size_t> claimed;  // output -> first job writing it
    // Every input, by path and by file: no job may write over one, its own or another's.
    std::map<std::string, std::size_t> inputPaths;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> inputFiles;
    for (std::size_t i = 0; i < args.inputs.size(); ++i) {
        if (args.inputs[i] == kStandardStream)
            continue;
        const FileIdentity id = Identify(PathFromUtf8(args.inputs[i]));
        inputPaths.emplace(id.path, i);
        if (id.inode)
            inputFiles.emplace(*id.inode, i);
    }
    const auto inputWritten = [&](const fs::path& output) -> std::optional<std::size_t> {
        const FileIdentity id = Identify(output);
        if (const auto it = inputPaths.find(id.path); it != inputPaths.end())
            return it->second;
        if (const auto it = id.inode ? inputFiles.find(*id.inode) : inputFiles.end();
            it != inputFiles.end())
            return it->second;
        return std::nullopt;
    };
    for (const std::string& in : args.inputs) {
        Job job;
        job.input = PathFromUtf8(in);
        if (!args.output.empty()) {
            job.output = PathFromUtf8(args.output);
        } else if (!args.directory.empty()) {
            // Named like the input; another container's extension becomes the output's
            // (song.flac -> DIR/song.wav).
            job.output = PathFromUtf8(args.directory) / job.input.filename();
            const std::string extension = LowerCase(PathToUtf8(job.output.extension()));
            if (!args.format.empty())
                job.output.replace_extension("." + args.format);
            else if (!extension.empty() && extension != ".wav")
                job.output.replace_extension(".wav");
        } else {
            job.output = DefaultOutput(job.input, args);
        }
        const fs::path key = job.output.lexically_normal();
        if (job.input == kStandardStream && !args.directory.empty()) {
            job.error = "standard input has no name to write into " + args.directory +
                        ": use -o FILE or -o -";
        } else if (const auto it = claimed.find(key); it != claimed.end()) {
            job.error = "output " + PathToUtf8(job.output) + " is also the output of " +
                        PathToUtf8(jobs[it->second].input);
        } else if (const std::optional<std::size_t> input =
                       job.output == kStandardStream ? std::nullopt : inputWritten(job.output)) {
            job.error = *input == jobs.size()
                            ? "output is the input file"
                            : "output " + PathToUtf8(job.output) + " is the input " +
                                  args.inputs[*input] + ": it would be overwritten";
        } else {
            claimed.emplace(key, jobs.size());
        }
        jobs.push_back(std::move(job));
    }
    return jobs;
}

std::string ChannelsText(unsigned channels) {
    return std::to_string(channels) + (channels == 1 ? " channel" : " channels");
}

// The library names its own settings (LoopAlignMode::Unroll); the tool says which option sets
// them.
std::string InOptionTerms(std::string text) {
    static constexpr std::pair<std::string_view, std::string_view> kTerms[] = {
        {"LoopAlignMode::Unroll or LoopAlignMode::Off", "--loop-align unroll or off"},
        {"LoopAlignMode::Resample", "--loop-align resample"},
        {"LoopAlignMode::Unroll", "--loop-align unroll"},
        {"LoopAlignMode::Off", "--loop-align off"},
    };
    for (const auto& [term, option] : kTerms) {
        for (auto at = text.find(term); at != std::string::npos; at = text.find(term, at))
            text.replace(at, term.size(), option);
    }
    return text;
}

// What the tool prints of a conversion that succeeded.
struct Outcome {
    std::string description;  // the result line after "IN -> OUT: "
    std::string loop;
    std::vector<std::string> warnings;
    std::uint64_t clippedSamples = 0;
    std::uint64_t trailingBytes = 0;
};

// The end of a result line: "N frames" and what happened to the samples on the way.
std::string FramesText(std::uint64_t frames, bool dithered, std::uint64_t clipped,
                       std::uint64_t ignored) {
    std::string text = ", " + std::to_string(frames) + " frames";
    if (dithered)
        text += ", dithered to 16 bits";
    if (clipped != 0)
        text += ", " + std::to_string(clipped) + " samples clipped";
    if (ignored != 0)
        text += ", " + std::to_string(ignored) + " trailing bytes ignored";
    return text;
}

Outcome Describe(const EncodeReport& r) {
    std::string text =
        (r.inputContainer.empty() ? DescribeSourceFormat(r.input) : r.inputContainer) + ", " +
        ChannelsText(r.inputChannels) + ", " + std::to_string(r.inputSampleRate) + " Hz";
    // What changed, then the frames written.
    std::string changes;
    if (r.outputChannels != r.inputChannels)
        changes += ChannelsText(r.outputChannels);
    if (r.outputSampleRate != r.inputSampleRate)
        changes += (changes.empty() ? "" : ", ") + std::to_string(r.outputSampleRate) + " Hz";
    if (!changes.empty())
        text += " -> " + changes;
    text += FramesText(r.inputFrames, r.dithered, r.clippedSamples, r.ignoredBytes);
    return {text, InOptionTerms(r.loop), r.warnings, r.clippedSamples, r.trailingBytes};
}

Outcome Describe(const DecodeReport& r) {
    std::string text = DescribeSourceFormat(r.input) + ", " + ChannelsText(r.channels) + ", " +
                       std::to_string(r.sampleRate) + " Hz" +
                       FramesText(r.frames, false, 0, r.ignoredBytes);
    return {text, "", r.warnings, 0, r.trailingBytes};
}

template <class Report>
Expected<Outcome> Describe(const Expected<Report>& result) {
    if (!result)
        return Error{result.error().kind, InOptionTerms(result.error().message)};
    return Describe(result.value());
}

std::string InputName(const fs::path& path) {
    return path == kStandardStream ? "stdin" : PathToUtf8(path);
}
std::string OutputName(const fs::path& path) {
    return path == kStandardStream ? "stdout" : PathToUtf8(path);
}

#if !defined(_WIN32)
// Whether a progress line is on standard error, for the SIGPIPE handler to clear it before the
// process ends (the handler in force before it then runs, or the default action).
std::atomic<bool> g_progressShown{false};
struct sigaction g_previousPipeAction {};

void ClearProgressOnBrokenPipe(int signal) {
    if (g_progressShown) {
        constexpr char kClear[] = "\r\033[K";
        if (write(2, kClear, sizeof kClear - 1) < 0) {
            // Nothing more to do with a standard error that cannot be written.
        }
    }
    if (g_previousPipeAction.sa_handler != SIG_DFL && g_previousPipeAction.sa_handler != SIG_IGN) {
        g_previousPipeAction.sa_handler(signal);
        return;
    }
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);  // delivered when this handler returns
}

void ClearProgressOnSignal() {
    struct sigaction action {};
    action.sa_handler = ClearProgressOnBrokenPipe;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGPIPE, nullptr, &g_previousPipeAction) == 0 &&
        g_previousPipeAction.sa_handler != SIG_IGN)
        sigaction(SIGPIPE, &action, nullptr);
}
#endif

// Output shared by the worker threads: result lines on stdout, errors and progress on stderr.
class Reporter {
  public:
    // `lines`: where the result lines go (standard error when standard output carries audio).
    Reporter(std::size_t total, bool quiet, std::FILE* lines)
        : total_(total), quiet_(quiet), progress_(IMABOX_ISATTY(2) != 0), lines_(lines) {}

    void Done(const Job& job, const Expected<Outcome>& result) {
        const std::lock_guard lock(mutex_);
        ClearProgress();
        if (result) {
            ++converted_;
            if (!quiet_) {
                std::fprintf(lines_, "%s -> %s: %s\n", InputName(job.input).c_str(),
                             OutputName(job.output).c_str(), result->description.c_str());
                if (!result->loop.empty())
                    std::fprintf(lines_, "  %s\n", result->loop.c_str());
                std::fflush(lines_);
            }
            for (const std::string& warning : result->warnings)
                std::fprintf(stderr, "imabox: warning: %s: %s\n", InputName(job.input).c_str(),
                             warning.c_str());
            if (result->clippedSamples != 0)
                std::fprintf(stderr, "imabox: warning: %s: %llu samples clipped\n",
                             InputName(job.input).c_str(),
                             static_cast<unsigned long long>(result->clippedSamples));
            if (result->trailingBytes != 0)
                std::fprintf(stderr,
                             "imabox: warning: %s: %llu bytes after the last chunk ignored\n",
                             InputName(job.input).c_str(),
                             static_cast<unsigned long long>(result->trailingBytes));
        } else {
            ++failed_;
            std::fprintf(stderr, "imabox: %s: %s\n", InputName(job.input).c_str(),
                         result.error().message.c_str());
        }
        ShowProgress();
    }

    void Start() {
        const std::lock_guard lock(mutex_);
        ShowProgress();
    }

    void Summary(const char* verb) {
        const std::lock_guard lock(mutex_);
        ClearProgress();
        std::fprintf(stderr, "%s: %zu of %zu files converted, %zu failed\n", verb, converted_,
                     total_, failed_);
    }

    bool AnyFailed() const { return failed_ != 0; }

  private:
    void ClearProgress() {
        if (progress_ && shown_)
            std::fputs("\r\033[K", stderr);
        shown_ = false;
        SetShown(false);
    }
    static void SetShown([[maybe_unused]] bool shown) {
#if !defined(_WIN32)
        g_progressShown = shown;
#endif
    }
    void ShowProgress() {
        if (!progress_ || converted_ + failed_ == total_)
            return;
        std::fprintf(stderr, "[%zu/%zu] %zu failed", converted_ + failed_, total_, failed_);
        std::fflush(stderr);
        shown_ = true;
        SetShown(true);
    }

    std::mutex mutex_;
    std::size_t total_;
    bool quiet_;
    bool progress_;
    bool shown_ = false;
    std::size_t converted_ = 0;
    std::size_t failed_ = 0;
    std::FILE* lines_;
};

// Whether `name` is the file standard output writes to (/dev/stdout, /proc/self/fd/1...).
bool NamesStandardOutput(const std::string& name) {
#if defined(_WIN32)
    (void)name;
    return false;
#else
    struct stat out, named;
    return !name.empty() && name != kStandardStream && fstat(1, &out) == 0 &&
           ::stat(name.c_str(), &named) == 0 && out.st_dev == named.st_dev &&
           out.st_ino == named.st_ino;
#endif
}

int RunBatch(const BatchArgs& args) {
    const bool encode = args.encode;
    if (!args.output.empty() && args.inputs.size() != 1) {
        std::fprintf(stderr, "imabox: -o names one output; use -d DIR for %zu inputs\n",
                     args.inputs.size());
        return 2;
    }
    if (!args.directory.empty()) {
        std::error_code ec;
        fs::create_directories(PathFromUtf8(args.directory), ec);
        if (!fs::is_directory(PathFromUtf8(args.directory))) {
            std::fprintf(stderr, "imabox: cannot use output folder %s: %s\n",
                         args.directory.c_str(), ec.message().c_str());
            return 1;
        }
    }
    const bool fromStdin = std::count(args.inputs.begin(), args.inputs.end(), kStandardStream) != 0;
    if (std::count(args.inputs.begin(), args.inputs.end(), kStandardStream) > 1) {
        std::fprintf(stderr, "imabox: standard input (-) can be read only once\n");
        return 2;
    }
    const bool toStdout = args.output == kStandardStream ||
                          (fromStdin && args.output.empty() && args.directory.empty());
    // Audio on standard output: "-", or another name of it such as /dev/stdout. The result
    // lines then go to standard error, and a terminal is refused as the audio's place.
    const bool audioOnStdout = toStdout || NamesStandardOutput(args.output);
    if (audioOnStdout && IMABOX_ISATTY(1)) {
        std::fprintf(stderr,
                     "imabox: standard output is a terminal; redirect it to a file or a "
                     "pipe, or name the output with -o FILE\n");
        return 2;
    }
    EncodeOptions options;
    options.quality = args.quality;
    options.loopAlign = ParseLoopAlignMode(args.loopAlign).value_or(LoopAlignMode::Resample);
    options.maxLoopCents = args.maxLoopCents;
    options.sampleRate = args.rate;
    options.channels = args.channels;
    options.raw = args.raw;
    DecodeOptions decodeOptions;
    decodeOptions.format = args.format;
    decodeOptions.raw = args.raw;
    if (!args.like.empty()) {
        const Expected<WaveInfo> like = ReadWaveInfo(PathFromUtf8(args.like));
        if (!like) {
            std::fprintf(stderr, "imabox: --like %s: %s\n", args.like.c_str(),
                         like.error().message.c_str());
            return 2;
        }
        // The same ranges as --rate and --channels.
        if (like->sampleRate < kMinRate || like->sampleRate > kMaxRate || like->channels < 1 ||
            like->channels > 2) {
            std::fprintf(stderr,
                         "imabox: --like %s: %lu Hz, %s; the output takes %lu to %lu Hz and 1 or "
                         "2 channels\n",
                         args.like.c_str(), static_cast<unsigned long>(like->sampleRate),
                         ChannelsText(like->channels).c_str(), static_cast<unsigned long>(kMinRate),
                         static_cast<unsigned long>(kMaxRate));
            return 2;
        }
        options.sampleRate = like->sampleRate;
        options.channels = like->channels;
    }
#if defined(_WIN32)
    if (fromStdin)
        _setmode(_fileno(stdin), _O_BINARY);
    if (toStdout)
        _setmode(_fileno(stdout), _O_BINARY);
#endif
    const std::vector<Job> jobs = PlanJobs(args);
    const auto encodeJob = [&](const Job& job) {
        const bool in = job.input == kStandardStream;
        const bool out = job.output == kStandardStream;
        if (in && out)
            return EncodeStream(stdin, stdout, options);
        if (in)
            return EncodeStream(stdin, job.output, options);
        if (out)
            return EncodeStream(job.input, stdout, options);
        return EncodeFile(job.input, job.output, options);
    };
    // A file output of decode takes its format from its name (out.flac) unless --format says.
    const auto decodeJob = [&](const Job& job) {
        DecodeOptions jobOptions = decodeOptions;
        if (args.format.empty() && job.output != kStandardStream) {
            const std::string extension = LowerCase(PathToUtf8(job.output.extension()));
            if (extension.size() > 1 && extension != ".wav" && extension != ".wave")
                jobOptions.format = extension.substr(1);
        }
        const bool in = job.input == kStandardStream;
        const bool out = job.output == kStandardStream;
        if (in && out)
            return DecodeStream(stdin, stdout, jobOptions);
        if (in)
            return DecodeStream(stdin, job.output, jobOptions);
        if (out)
            return DecodeStream(job.input, stdout, jobOptions);
        return DecodeFile(job.input, job.output, jobOptions);
    };
    const auto convert = [&](const Job& job) {
        return encode ? Describe(encodeJob(job)) : Describe(decodeJob(job));
    };

    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    unsigned threads = args.jobs != 0 ? args.jobs : cores;
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, jobs.size()));
    // The searching encoder shares the cores left over by the files converted at once, unless
    // told how many threads each file may use.
    options.threads =
        args.threads != 0 ? args.threads : std::max(1u, cores / std::max(1u, threads));
#if !defined(_WIN32)
    ClearProgressOnSignal();
#endif
    Reporter reporter(jobs.size(), args.quiet, audioOnStdout ? stderr : stdout);
    reporter.Start();
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            const Job& job = jobs[i];
            if (!job.error.empty())
                reporter.Done(job, Error{ErrorKind::OutputCreate, job.error});
            else
                reporter.Done(job, convert(job));
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the ones started (and this one) share the work
        }
    }
    work();
    for (std::thread& thread : pool)
        thread.join();
    reporter.Summary(encode ? "encode" : "decode");
    return reporter.AnyFailed() ? 1 : 0;
}

// File names on the command line: an empty one, or -o naming a folder, is a usage error.
std::string CheckNamed(const std::string& name) {
    return name.empty() ? "empty file name" : "";
}
std::string CheckNotAFolder(const std::string& name) {
    std::error_code ec;
    return fs::is_directory(PathFromUtf8(name), ec)
               ? name + " is a folder (-d DIR writes into a folder)"
               : "";
}

// "wav (default), flac, aiff...": the containers decode writes in this build.
std::string FormatsText(const std::vector<std::string>& formats) {
    std::string text;
    for (const std::string& format : formats)
        text += (text.empty() ? format + " (default)" : ", " + format);
    return text;
}

void AddBatchCommand(CLI::App& app, CommandList& commands, bool encode) {
    auto args = std::make_shared<BatchArgs>();
    args->encode = encode;
    CLI::App* cmd = app.add_subcommand(
        encode ? "encode" : "decode",
        encode ? "Encode audio files (WAVE of 8/16/24/32-bit PCM, float or IMA ADPCM; FLAC, Ogg, "
                 "Opus, MP3, AIFF...) to Xbox ADPCM"
               : "Decode Xbox ADPCM (0x0069) or IMA ADPCM (0x0011) WAVE files to 16-bit PCM");
    cmd->add_option("inputs", args->inputs,
                    encode ? "Files to read; - is standard input"
                           : "WAVE files to read; - is standard input")
        ->required()
        ->check(CheckNamed);
    auto* out = cmd->add_option("-o,--output", args->output,
                                "Output file (one input only); - is standard output")
                    ->check(CheckNamed)
                    ->check(CheckNotAFolder);
    auto* dir = cmd->add_option("-d,--directory", args->directory,
                                "Folder for the outputs, named like the inputs")
                    ->check(CheckNamed);
    out->excludes(dir);
    dir->excludes(out);
    cmd->add_option("-j,--jobs", args->jobs, "Files converted at once (default: all cores)")
        ->check(CLI::Range(1u, 1024u));
    if (encode) {
        cmd->add_option("-q,--quality", args->quality,
                        "0: the plain encoder (default); 1..9: search for lower error, "
                        "slower as the level rises")
            ->check(CLI::Range(0, kMaxEncodeQuality));
        cmd->add_option("--threads", args->threads,
                        "Threads the searching encoder uses for each file (default: the cores "
                        "left over by -j). The output is the same for any count")
            ->check(CLI::Range(1u, 1024u));
        cmd->add_option("--loop-align", args->loopAlign,
                        "A smpl loop off block boundaries: resample (default) moves its start "
                        "to the next block by unrolling and resamples the file so the loop fills "
                        "whole blocks; unroll repeats the loop instead (exact, longer file); off "
                        "keeps the points as they are")
            ->check(CLI::IsMember({"resample", "unroll", "off"}));
        cmd->add_option("--loop-max-cents", args->maxLoopCents,
                        "Largest pitch change --loop-align resample may make (default 5)")
            ->check(CLI::Range(0.0, 100.0));
        auto* rate = cmd->add_option("--rate", args->rate,
                                     "Sample rate of the output in Hz (resampled at very high "
                                     "quality)")
                         ->check(CLI::Range(kMinRate, kMaxRate));
        auto* channels = cmd->add_option("--channels", args->channels,
                                         "Channels of the output: 1 (the average of the input's) "
                                         "or 2 from 1")
                             ->check(CLI::Range(1u, 2u));
        cmd->add_option("--like", args->like,
                        "Take the output's rate and channels from this audio file")
            ->excludes(rate)
            ->excludes(channels);
    } else {
        const std::vector<std::string> formats = DecodeFormats();
        cmd->add_option("--format", args->format,
                        "Output container: " + FormatsText(formats) +
                            "; otherwise taken from the -o file's extension")
            ->check(CLI::IsMember(formats));
    }
    cmd->add_flag("--raw", args->raw,
                  encode ? "Write the Xbox ADPCM blocks alone, without a header"
                         : "Write the 16-bit samples alone, without a header");
    cmd->add_flag("--quiet", args->quiet, "Print only errors and the summary");
    cmd->footer(encode ? "Without -o or -d, IN.wav is written to IN.xbox.wav, and standard "
                         "input to standard output."
                       : "Without -o or -d, IN.wav is written to IN.pcm.wav, and standard "
                         "input to standard output.");
    commands.push_back({cmd, [args] { return RunBatch(*args); }});
}

}  // namespace

void AddEncodeCommands(CLI::App& app, CommandList& commands) {
    AddBatchCommand(app, commands, true);
    AddBatchCommand(app, commands, false);
}

}  // namespace imabox::tool
