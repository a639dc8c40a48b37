// imabox record OUT [--seconds N]: records the default audio input into a 16-bit mono 8000 Hz
// PCM WAVE file, whole seconds only, until N seconds are in the file or SIGINT/SIGTERM arrives.
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "commands.hpp"
#include "imabox/recorder.hpp"

namespace imabox::tool {
namespace {

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
#endif
}

// The progress line: rewritten in place on a terminal, one line per second otherwise.
void ShowSeconds(const std::string& file, int seconds, bool terminal) {
    if (terminal)
        std::fprintf(stderr, "\rRecording %s (Ctrl-C stops): %d s", file.c_str(), seconds);
    else
        std::fprintf(stderr, "Recording %s: %d s\n", file.c_str(), seconds);
    std::fflush(stderr);
}

int RunRecord(const std::string& file, int limitSeconds) {
    InstallStopHandlers();
    const std::int32_t started = StartRecording(file, static_cast<std::uint32_t>(limitSeconds));
    if (started != kRecorderStarted) {
        // After a device failure the file is open with its placeholder header: stopping turns
        // it into a valid empty recording.
        if (started >= kRecorderDeviceOpenFailed && started <= kRecorderDeviceStartFailed)
            StopRecording();
        std::fprintf(stderr, "ERROR: %s: %s\n", file.c_str(),
                     std::string(RecorderResultMessage(started)).c_str());
        return 1;
    }

#if defined(_WIN32)
    const bool terminal = _isatty(_fileno(stderr)) != 0;
#else
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
#endif
    int shown = -1;
    while (g_stopRequested == 0) {
        const int seconds = RecordedSeconds();
        if (seconds != shown) {
            ShowSeconds(file, seconds, terminal);
            shown = seconds;
        }
        if (limitSeconds > 0 && seconds >= limitSeconds)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int written = StopRecording();
    if (terminal)
        std::fputc('\n', stderr);
    std::printf("Recorded %d second%s into %s\n", written, written == 1 ? "" : "s", file.c_str());
    return 0;
}

}  // namespace

void AddRecordCommand(CLI::App& app, CommandList& commands) {
    struct Args {
        std::string output;
        int seconds = 0;
    };
    auto args = std::make_shared<Args>();
    CLI::App* cmd = app.add_subcommand(
        "record",
        "Record the default audio input (ALSA \"default\") into a 16-bit mono 8000 Hz WAVE file, "
        "in whole seconds, until --seconds are recorded or Ctrl-C.");
    cmd->add_option("out", args->output, "WAVE file to create")->required();
    cmd->add_option("--seconds", args->seconds, "Stop once this many whole seconds are recorded")
        ->check(CLI::Range(1, std::numeric_limits<int>::max()));
    commands.push_back({cmd, [args] { return RunRecord(args->output, args->seconds); }});
}

}  // namespace imabox::tool
