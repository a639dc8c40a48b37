// imabox encode / imabox decode: convert many WAVE files at once, in parallel, with an explicit
// direction. Each output is written to a temporary file and renamed into place when complete.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "commands.hpp"
#include "imabox/convert.hpp"

#if defined(_WIN32)
#include <io.h>
#define IMABOX_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define IMABOX_ISATTY(fd) isatty(fd)
#endif

namespace imabox::tool {
namespace {

namespace fs = std::filesystem;

struct BatchArgs {
    ConvertDirection direction = ConvertDirection::Encode;
    std::vector<std::string> inputs;
    std::string output;     // -o
    std::string directory;  // -d
    unsigned jobs = 0;      // 0: all cores
    int quality = 0;
    std::string loopAlign = "resample";
    double maxLoopCents = kDefaultMaxLoopCents;
    bool quiet = false;
};

struct Job {
    fs::path input;
    fs::path output;
    std::string error;  // set before the run when the output cannot be chosen
};

// encode: NAME.wav -> NAME.xbox.wav; decode: NAME.wav -> NAME.pcm.wav.
fs::path DefaultOutput(const fs::path& input, ConvertDirection direction) {
    fs::path out = input;
    out.replace_extension(direction == ConvertDirection::Encode ? ".xbox.wav" : ".pcm.wav");
    return out;
}

std::vector<Job> PlanJobs(const BatchArgs& args) {
    std::vector<Job> jobs;
    std::map<fs::path, std::size_t> claimed;  // output -> first job writing it
    for (const std::string& in : args.inputs) {
        Job job;
        job.input = in;
        if (!args.output.empty())
            job.output = args.output;
        else if (!args.directory.empty())
            job.output = fs::path(args.directory) / job.input.filename();
        else
            job.output = DefaultOutput(job.input, args.direction);
        const fs::path key = job.output.lexically_normal();
        if (const auto it = claimed.find(key); it != claimed.end()) {
            job.error = "output " + job.output.string() + " is also the output of " +
                        jobs[it->second].input.string();
        } else {
            claimed.emplace(key, jobs.size());
        }
        jobs.push_back(std::move(job));
    }
    return jobs;
}

std::string Describe(const ConvertReport& r) {
    std::string text = DescribeSourceFormat(r.input) + ", " + std::to_string(r.channels) +
                       (r.channels == 1 ? " channel, " : " channels, ") +
                       std::to_string(r.sampleRate) + " Hz, " + std::to_string(r.inputFrames) +
                       " frames";
    if (r.dithered)
        text += ", dithered to 16 bits";
    if (r.clippedSamples != 0)
        text += ", " + std::to_string(r.clippedSamples) + " samples clipped";
    if (r.ignoredBytes != 0)
        text += ", " + std::to_string(r.ignoredBytes) + " trailing bytes ignored";
    return text;
}

// Output shared by the worker threads: result lines on stdout, errors and progress on stderr.
class Reporter {
  public:
    Reporter(std::size_t total, bool quiet)
        : total_(total), quiet_(quiet), progress_(IMABOX_ISATTY(2) != 0) {}

    void Done(const Job& job, const Expected<ConvertReport>& result) {
        const std::lock_guard lock(mutex_);
        ClearProgress();
        if (result) {
            ++converted_;
            if (!quiet_) {
                std::printf("%s -> %s: %s\n", job.input.string().c_str(),
                            job.output.string().c_str(), Describe(result.value()).c_str());
                if (!result->loop.empty())
                    std::printf("  %s\n", result->loop.c_str());
                std::fflush(stdout);
            }
            for (const std::string& warning : result->warnings)
                std::fprintf(stderr, "imabox: warning: %s: %s\n", job.input.string().c_str(),
                             warning.c_str());
            if (result->clippedSamples != 0)
                std::fprintf(stderr, "imabox: warning: %s: %llu samples clipped\n",
                             job.input.string().c_str(),
                             static_cast<unsigned long long>(result->clippedSamples));
            if (result->trailingBytes != 0)
                std::fprintf(stderr,
                             "imabox: warning: %s: %llu bytes after the last chunk ignored\n",
                             job.input.string().c_str(),
                             static_cast<unsigned long long>(result->trailingBytes));
        } else {
            ++failed_;
            std::fprintf(stderr, "imabox: %s: %s\n", job.input.string().c_str(),
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
    }
    void ShowProgress() {
        if (!progress_ || converted_ + failed_ == total_)
            return;
        std::fprintf(stderr, "[%zu/%zu] %zu failed", converted_ + failed_, total_, failed_);
        std::fflush(stderr);
        shown_ = true;
    }

    std::mutex mutex_;
    std::size_t total_;
    bool quiet_;
    bool progress_;
    bool shown_ = false;
    std::size_t converted_ = 0;
    std::size_t failed_ = 0;
};

int RunBatch(const BatchArgs& args) {
    const bool encode = args.direction == ConvertDirection::Encode;
    if (!args.output.empty() && args.inputs.size() != 1) {
        std::fprintf(stderr, "imabox: -o names one output; use -d DIR for %zu inputs\n",
                     args.inputs.size());
        return 2;
    }
    if (!args.directory.empty()) {
        std::error_code ec;
        fs::create_directories(args.directory, ec);
        if (!fs::is_directory(args.directory)) {
            std::fprintf(stderr, "imabox: cannot use output folder %s: %s\n",
                         args.directory.c_str(), ec.message().c_str());
            return 1;
        }
    }
    const std::vector<Job> jobs = PlanJobs(args);
    ConvertOptions options;
    options.direction = args.direction;
    options.quality = args.quality;
    options.loopAlign = args.loopAlign == "off"      ? LoopAlignMode::Off
                        : args.loopAlign == "unroll" ? LoopAlignMode::Unroll
                                                     : LoopAlignMode::Resample;
    options.maxLoopCents = args.maxLoopCents;

    unsigned threads =
        args.jobs != 0 ? args.jobs : std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, jobs.size()));
    Reporter reporter(jobs.size(), args.quiet);
    reporter.Start();
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            const Job& job = jobs[i];
            if (!job.error.empty())
                reporter.Done(job, Error{ErrorKind::OutputCreate, job.error});
            else
                reporter.Done(job, ConvertFile(job.input, job.output, options));
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
    return fs::is_directory(name, ec) ? name + " is a folder (-d DIR writes into a folder)" : "";
}

void AddBatchCommand(CLI::App& app, CommandList& commands, ConvertDirection direction) {
    auto args = std::make_shared<BatchArgs>();
    args->direction = direction;
    const bool encode = direction == ConvertDirection::Encode;
    CLI::App* cmd = app.add_subcommand(
        encode ? "encode" : "decode",
        encode ? "Encode WAVE files (8/16/24/32-bit PCM, float, IMA ADPCM) to Xbox ADPCM"
               : "Decode Xbox ADPCM (0x0069) or IMA ADPCM (0x0011) WAVE files to 16-bit PCM");
    cmd->add_option("inputs", args->inputs, "WAVE files to read")->required()->check(CheckNamed);
    auto* out = cmd->add_option("-o,--output", args->output, "Output file (one input only)")
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
        cmd->add_option("--loop-align", args->loopAlign,
                        "A smpl loop off block boundaries: resample (default) moves its start "
                        "to the next block by unrolling and resamples the file so the loop fills "
                        "whole blocks; unroll repeats the loop instead (exact, longer file); off "
                        "keeps the points as they are")
            ->check(CLI::IsMember({"resample", "unroll", "off"}));
        cmd->add_option("--loop-max-cents", args->maxLoopCents,
                        "Largest pitch change --loop-align resample may make (default 5)")
            ->check(CLI::Range(0.0, 100.0));
    }
    cmd->add_flag("--quiet", args->quiet, "Print only errors and the summary");
    cmd->footer(encode ? "Without -o or -d, IN.wav is written to IN.xbox.wav."
                       : "Without -o or -d, IN.wav is written to IN.pcm.wav.");
    commands.push_back({cmd, [args] { return RunBatch(*args); }});
}

}  // namespace

void AddEncodeCommands(CLI::App& app, CommandList& commands) {
    AddBatchCommand(app, commands, ConvertDirection::Encode);
    AddBatchCommand(app, commands, ConvertDirection::Decode);
}

}  // namespace imabox::tool
