// SPDX-License-Identifier: MIT
// imabox record OUT [--seconds N] [--device NAME] [--xbox [--quality N]]: records an audio input
// into a 16-bit mono 8000 Hz PCM WAVE file (or, with --xbox, an Xbox ADPCM one), whole seconds
// only, until N seconds are in the file, SIGINT/SIGTERM/SIGHUP arrives, or the recording fails.
// imabox record --list-devices: the capture devices there are.
//
// The recording goes into a temporary file beside OUT first, so that OUT is left alone when
// nothing can be recorded. A PCM recording replaces OUT once its first whole second is in (at the
// stop on Windows, where an open file cannot be renamed); an Xbox ADPCM one is converted into OUT
// when it stops. An OUT that exists and is not a regular file (a device, a FIFO) is recorded into
// directly.
#if defined(_WIN32)
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "commands.hpp"
#include "imabox/convert.hpp"
#include "imabox/recorder.hpp"

namespace imabox::tool {
namespace {

namespace fs = std::filesystem;

volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void RequestStop(int) {
    g_stopRequested = 1;
}

void InstallStopHandlers() {
#if defined(_WIN32)
    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
#else
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
#endif
}

struct RecordArgs {
    std::string output;
    int seconds = 0;
    std::string device;
    bool listDevices = false;
    bool xbox = false;
    int quality = 0;
};

// The level part of the progress line, e.g. "  -12.3 dBFS" or "   -inf dBFS  SILENT".
std::string LevelText(const InputLevel& level) {
    char text[64];
    if (std::isinf(level.peakDbfs))
        std::snprintf(text, sizeof text, "   -inf dBFS");
    else
        std::snprintf(text, sizeof text, " %6.1f dBFS", level.peakDbfs);
    std::string line = text;
    if (level.clipping)
        line += "  CLIPPING";
    if (level.silence)
        line += "  SILENT (no signal for a second)";
    return line;
}

// The progress line: rewritten in place on a terminal, with the input level, one line per second
// otherwise.
void ShowProgress(const std::string& file, int seconds, bool terminal) {
    if (terminal) {
        const std::string level = LevelText(CurrentInputLevel());
        // Spaces clear what a longer previous line left.
        std::fprintf(stderr, "\rRecording %s (Ctrl-C stops): %d s %-46s", file.c_str(), seconds,
                     level.c_str());
    } else {
        std::fprintf(stderr, "Recording %s: %d s\n", file.c_str(), seconds);
    }
    std::fflush(stderr);
}

int ListDevices() {
    const auto devices = ListCaptureDevices();
    if (devices.empty()) {
        std::printf("No capture devices found.\n");
        return 0;
    }
    std::size_t width = 0;
    for (const CaptureDevice& device : devices)
        width = std::max(width, device.name.size());
    for (const CaptureDevice& device : devices)
        std::printf("%-*s  %s\n", static_cast<int>(width), device.name.c_str(),
                    device.description.c_str());
    return 0;
}

// Where the recording goes before it reaches OUT.
struct Destination {
    fs::path target;      // the file OUT names (a symbolic link's target)
    fs::path recordInto;  // the file the recorder writes
    bool direct = false;  // recordInto is target itself
    bool targetExisted = false;
};

Destination PlanDestination(const fs::path& output, bool xbox) {
    Destination plan;
    std::error_code ec;
    plan.target = output;
    if (fs::is_symlink(fs::symlink_status(output, ec))) {
        const fs::path resolved = fs::weakly_canonical(output, ec);
        if (!ec)
            plan.target = resolved;
    }
    const fs::file_status status = fs::status(plan.target, ec);
    plan.targetExisted = fs::exists(status);
    if (plan.targetExisted && !fs::is_regular_file(status) && !fs::is_directory(status) && !xbox) {
        plan.recordInto = plan.target;
        plan.direct = true;
        return plan;
    }
#if defined(_WIN32)
    const int pid = _getpid();
#else
    const int pid = static_cast<int>(::getpid());
#endif
    // Short, so that it fits the folder whatever OUT's own length.
    plan.recordInto = plan.target.parent_path() / (".imabox-rec-" + std::to_string(pid) + ".wav");
    return plan;
}

// Moves the recording onto its target, with the mode the target had.
bool Publish(const Destination& plan, std::string& error) {
    std::error_code ec;
    if (plan.targetExisted) {
        const fs::perms mode = fs::status(plan.target, ec).permissions();
        if (!ec)
            fs::permissions(plan.recordInto, mode, ec);
    }
    fs::rename(plan.recordInto, plan.target, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    return true;
}

void Discard(const Destination& plan) {
    std::error_code ignored;
    if (!plan.direct)
        fs::remove(plan.recordInto, ignored);
}

int Fail(const std::string& file, const std::string& message) {
    std::fprintf(stderr, "ERROR: %s: %s\n", file.c_str(), message.c_str());
    return 1;
}

int RunRecord(const RecordArgs& args) {
    if (args.listDevices)
        return ListDevices();
    if (args.output.empty()) {
        std::fprintf(stderr, "record: OUT is required\nRun with --help for more information.\n");
        return 2;
    }
    const std::string& file = args.output;
    InstallStopHandlers();
    const Destination plan = PlanDestination(PathFromUtf8(file), args.xbox);
    std::error_code ec;
    if (fs::is_directory(plan.target, ec))
        return Fail(file, "is a folder; name a file to record into");
    const std::int32_t started =
        StartRecording(plan.recordInto, static_cast<std::uint32_t>(args.seconds), args.device);
    if (started != kRecorderStarted) {
        // After a device failure the file is open with its placeholder header: stopping closes it.
        if (started >= kRecorderDeviceOpenFailed && started <= kRecorderDeviceStartFailed)
            StopRecording();
        Discard(plan);
        std::string message(RecorderResultMessage(started));
        if (!args.device.empty() && started == kRecorderDeviceOpenFailed)
            message = "cannot open the audio input device \"" + args.device +
                      "\" (there is none of that name, or it is busy)";
        return Fail(file, message);
    }

#if defined(_WIN32)
    const bool terminal = _isatty(_fileno(stderr)) != 0;
    const bool renameWhileOpen = false;
#else
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    const bool renameWhileOpen = true;
#endif
    bool published = plan.direct;
    std::string failure;
    int shown = -1;
    auto lastDraw = std::chrono::steady_clock::now();
    while (g_stopRequested == 0) {
        failure = RecordingFailure();
        if (!failure.empty())
            break;
        const int seconds = RecordedSeconds();
        if (!published && renameWhileOpen && !args.xbox && seconds >= 1) {
            std::string error;
            if (!Publish(plan, error)) {
                StopRecording();
                Discard(plan);
                return Fail(file, "cannot replace the file: " + error);
            }
            published = true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (seconds != shown || (terminal && now - lastDraw >= std::chrono::milliseconds(100))) {
            ShowProgress(file, seconds, terminal);
            shown = seconds;
            lastDraw = now;
        }
        if (args.seconds > 0 && seconds >= args.seconds)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int written = StopRecording();
    if (terminal)
        std::fputc('\n', stderr);

    // A recording that failed before its first second leaves OUT as it was.
    if (!failure.empty() && written == 0 && !published) {
        Discard(plan);
        return Fail(file, failure + "; nothing recorded");
    }
    if (args.xbox) {
        std::string error;
        if (args.quality == 0) {
            const auto summary = ConvertFile(plan.recordInto, plan.target);
            if (!summary)
                error = summary.error().message;
        } else {
            EncodeOptions options;
            options.quality = args.quality;
            const auto report = EncodeFile(plan.recordInto, plan.target, options);
            if (!report)
                error = report.error().message;
        }
        Discard(plan);
        if (!error.empty())
            return Fail(file, "cannot write Xbox ADPCM: " + error);
    } else if (!published) {
        std::string error;
        if (!Publish(plan, error)) {
            Discard(plan);
            return Fail(file, "cannot replace the file: " + error);
        }
    }
    if (!failure.empty())
        return Fail(file, failure + "; " + std::to_string(written) + " whole second" +
                              (written == 1 ? "" : "s") + " kept");
    std::printf("Recorded %d second%s into %s\n", written, written == 1 ? "" : "s", file.c_str());
    return 0;
}

}  // namespace

void AddRecordCommand(CLI::App& app, CommandList& commands) {
    auto args = std::make_shared<RecordArgs>();
    CLI::App* cmd = app.add_subcommand(
        "record",
#if defined(_WIN32)
        "Record an audio input (the system's default waveform-audio input unless --device names "
        "another) into a 16-bit mono 8000 Hz WAVE file, in whole seconds, until --seconds are "
        "recorded or Ctrl-C.");
#else
        "Record an audio input (ALSA \"default\" unless --device names another) into a 16-bit "
        "mono 8000 Hz WAVE file, in whole seconds, until --seconds are recorded or Ctrl-C.");
#endif
    cmd->add_option("out", args->output, "WAVE file to create");
    cmd->add_option("--seconds", args->seconds, "Stop once this many whole seconds are recorded")
        ->check(CLI::Range(1, std::numeric_limits<int>::max()));
    cmd->add_option("--device", args->device,
                    "Capture device: an ALSA PCM name (default, pulse, hw:1,0, plughw:1; "
                    "on Windows a device number or name)");
    cmd->add_flag("--list-devices", args->listDevices, "List the capture devices and exit");
    auto* xbox = cmd->add_flag("--xbox", args->xbox,
                               "Write Xbox ADPCM (as `imabox convert` of the PCM recording)");
    cmd->add_option("-q,--quality", args->quality,
                    "With --xbox: 0 the plain encoder (default); 1..9 the searching encoder")
        ->check(CLI::Range(0, kMaxEncodeQuality))
        ->needs(xbox);
    commands.push_back({cmd, [args] { return RunRecord(*args); }});
}

}  // namespace imabox::tool
