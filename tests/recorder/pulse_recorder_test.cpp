// SPDX-License-Identifier: MIT
// The recorder on a real sound server: a private PulseAudio server per test, reached through
// ALSA's pulse plugin, with a 440 Hz sine source as its capture device. Unlike the file plugin,
// the server paces capture in real time and can go away in the middle of a recording.
//
// The server is started by the test itself:
//   pulseaudio -n --daemonize=no --use-pid-file=no --exit-idle-time=-1 --disable-shm=yes
//     -L "module-native-protocol-unix auth-anonymous=1 socket=DIR/socket"
//     -L module-null-sink -L "module-sine-source frequency=440"
// with HOME and XDG_RUNTIME_DIR set to a fresh folder, so that it shares nothing with a desktop's
// server and leaves nothing behind. As root (CI runs as root, on machines without sound
// hardware) this per-user mode works: PulseAudio only warns "not intended to be run as root
// (unless --system is specified)", and about the missing D-Bus, and --log-level=error keeps those
// warnings out of the log; -n loads no default script, so only the modules above exist.
// Anonymous authentication on our own socket lets any client in. The test stops its server by
// process id.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "imabox/convert.hpp"
#include "imabox/recorder.hpp"
#include "recorder/wave_in.hpp"
#include "recording_file.hpp"

namespace imabox {
namespace {

using testing::ExpectRecordingOf;
using testing::Payload;
using testing::ReadBytes;
using testing::ScratchDir;
using Clock = std::chrono::steady_clock;

// The pulseaudio binary on PATH, or "" when there is none.
std::string FindPulseAudio() {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/pulseaudio";
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

bool CanConnect(const std::string& socketPath) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

// The frequency, in 5 Hz steps from 50 to 3950 Hz, with the most energy in 16-bit samples at
// 8000 Hz.
double DominantFrequency(std::span<const std::uint8_t> pcm) {
    std::vector<double> x(pcm.size() / 2);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<std::int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8);
    double best = 0;
    double bestPower = -1;
    for (double f = 50; f < 4000; f += 5) {
        const double w = 2 * M_PI * f / 8000;
        double re = 0;
        double im = 0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            re += x[i] * std::cos(w * static_cast<double>(i));
            im += x[i] * std::sin(w * static_cast<double>(i));
        }
        if (re * re + im * im > bestPower) {
            bestPower = re * re + im * im;
            best = f;
        }
    }
    return best;
}

// Checks that every second of a recording is the 440 Hz tone.
void ExpectToneInEverySecond(const std::vector<std::uint8_t>& file) {
    const auto payload = Payload(file);
    for (std::size_t second = 0; second * 16000 < payload.size(); ++second)
        EXPECT_EQ(DominantFrequency(payload.subspan(second * 16000, 16000)), 440.0)
            << "second " << second;
}

class PulseServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string binary = FindPulseAudio();
        if (binary.empty())
            GTEST_SKIP() << "pulseaudio is not installed (Debian: pulseaudio, pulseaudio-utils, "
                            "libasound2-plugins)";
        socket_ = dir_ / "socket";
        std::filesystem::create_directories(dir_ / "runtime");
        std::ofstream(dir_ / "pulse.conf")
            << "<" IMABOX_ALSA_SYSTEM_CONF ">\n"
            << "pcm.!default {\n    type pulse\n    server \"unix:" << socket_.string()
            << "\"\n    device \"sine_input\"\n}\n";
        ASSERT_EQ(::setenv("ALSA_CONFIG_PATH", (dir_ / "pulse.conf").c_str(), 1), 0);

        // Everything the child needs is built before fork: it only redirects and executes.
        const std::string home = "HOME=" + (dir_ / "").string();
        const std::string runtime = "XDG_RUNTIME_DIR=" + (dir_ / "runtime").string();
        const std::string native =
            "module-native-protocol-unix auth-anonymous=1 socket=" + socket_.string();
        std::vector<std::string> args = {binary,
                                         "-n",
                                         "--daemonize=no",
                                         "--use-pid-file=no",
                                         "--exit-idle-time=-1",
                                         "--disable-shm=yes",
                                         "--log-target=stderr",
                                         "--log-level=error",
                                         "-L",
                                         native,
                                         "-L",
                                         "module-null-sink",
                                         "-L",
                                         "module-sine-source frequency=440"};
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStrings = {home, runtime, "PATH=/usr/bin:/bin"};
        std::vector<char*> envp;
        for (std::string& entry : envStrings)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        const std::string log = (dir_ / "server.log").string();

        server_ = ::fork();
        ASSERT_GE(server_, 0);
        if (server_ == 0) {
            // The server ends with this process, however it ends, and holds none of its output
            // pipes (a runner waiting for them would otherwise wait for the server too).
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            FILE* err = std::freopen(log.c_str(), "w", stderr);
            FILE* out = std::freopen("/dev/null", "w", stdout);
            (void)err;
            (void)out;
            ::execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!CanConnect(socket_.string())) {
            int status = 0;
            ASSERT_EQ(::waitpid(server_, &status, WNOHANG), 0)
                << "the server ended at start: " << ServerLog();
            ASSERT_LT(Clock::now(), deadline) << "the server did not start: " << ServerLog();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    void TearDown() override {
        StopRecording();
        StopServer(SIGTERM);
    }

    void StopServer(int signal) {
        if (server_ <= 0)
            return;
        ::kill(server_, signal);
        int status = 0;
        ::waitpid(server_, &status, 0);
        server_ = -1;
    }

    std::string ServerLog() const {
        std::ifstream in(dir_ / "server.log");
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Runs imabox with `arguments` (a shell fragment), in this process's environment plus
    // `environment` (shell assignments); returns its exit status and leaves its standard error in
    // dir_/err.
    int RunTool(const std::string& arguments, const std::string& environment = {}) const {
        const std::string command = environment + "timeout 30 '" IMABOX_TOOL "' " + arguments +
                                    " >'" + (dir_ / "out").string() + "' 2>'" +
                                    (dir_ / "err").string() + "'";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string ToolErrors() const {
        std::ifstream in(dir_ / "err");
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    ScratchDir dir_;
    std::filesystem::path socket_;
    pid_t server_ = -1;
};

TEST_F(PulseServerTest, RecordingTakesRealTimeAndHoldsExactlyItsSecondsOfTheTone) {
    const auto path = dir_ / "tone.wav";
    const auto started = Clock::now();
    ASSERT_EQ(StartRecording(path, 3), 999);
    const auto deadline = started + std::chrono::seconds(10);
    while (RecordedSeconds() < 3 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto elapsed = Clock::now() - started;
    EXPECT_EQ(StopRecording(), 3);
    // The server may hand over up to about a second at once, but no faster than real time.
    EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
    EXPECT_EQ(RecordingFailure(), "");
    const auto file = ReadBytes(path);
    ExpectRecordingOf(file, 3);
    ExpectToneInEverySecond(file);
}

TEST_F(PulseServerTest, DevicePulseRecordsWithoutAConfigurationFile) {
    ASSERT_EQ(::unsetenv("ALSA_CONFIG_PATH"), 0);
    const auto path = dir_ / "pulse.wav";
    const int status =
        RunTool("record '" + path.string() + "' --seconds 1 --device pulse",
                "PULSE_SERVER='unix:" + socket_.string() + "' PULSE_SOURCE=sine_input ");
    EXPECT_EQ(status, 0) << ToolErrors();
    const auto file = ReadBytes(path);
    ExpectRecordingOf(file, 1);
    ExpectToneInEverySecond(file);
}

TEST_F(PulseServerTest, XboxOptionWritesXboxADPCMHoldingTheTone) {
    const auto path = dir_ / "tone.xbox.wav";
    ASSERT_EQ(RunTool("record '" + path.string() + "' --seconds 2 --xbox"), 0) << ToolErrors();
    const auto info = ReadWaveInfo(path);
    ASSERT_TRUE(info) << info.error().message;
    EXPECT_EQ(info->format, SourceFormat::XBoxADPCM);
    EXPECT_EQ(info->sampleRate, 8000u);
    EXPECT_EQ(info->channels, 1u);
    // Two seconds, padded to whole 65-frame blocks.
    EXPECT_EQ(info->frames, (16000u + 64) / 65 * 65);
    const auto decoded = dir_ / "decoded.wav";
    ASSERT_TRUE(ConvertFile(path, decoded));
    const auto pcm = ReadBytes(decoded);
    ASSERT_GE(pcm.size(), 44u + 32000);
    EXPECT_EQ(DominantFrequency(std::span(pcm).subspan(44, 16000)), 440.0);
    EXPECT_EQ(DominantFrequency(std::span(pcm).subspan(44 + 16000, 16000)), 440.0);
}

// The server dies three seconds into a ten-second recording, as when it crashes or a USB
// microphone is pulled: imabox record ends within two seconds with one ERROR line and a
// non-zero status, and the file is a valid recording of the seconds before.
TEST_F(PulseServerTest, ServerKilledMidRecordingEndsTheRecordingPromptly) {
    const auto path = dir_ / "lost.wav";
    int status = -1;
    Clock::time_point ended;
    std::thread tool([&] {
        status = RunTool("record '" + path.string() + "' --seconds 10");
        ended = Clock::now();
    });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto killed = Clock::now();
    StopServer(SIGKILL);
    tool.join();
    EXPECT_LT(ended - killed, std::chrono::seconds(2));
    EXPECT_EQ(status, 1);
    const std::string errors = ToolErrors();
    std::size_t lines = 0;
    for (std::size_t at = errors.find("ERROR:"); at != std::string::npos;
         at = errors.find("ERROR:", at + 1))
        ++lines;
    EXPECT_EQ(lines, 1u) << errors;
    EXPECT_NE(errors.find("audio input device failed"), std::string::npos) << errors;
    const auto file = ReadBytes(path);
    ASSERT_GE(file.size(), 44u + 16000);
    ExpectRecordingOf(file, static_cast<std::uint32_t>((file.size() - 44) / 16000));
    ExpectToneInEverySecond(file);
}

// The C++ API sees the same: RecordingFailure names the failure, Stop keeps the whole seconds.
TEST_F(PulseServerTest, ServerKilledGivesARecordingFailureAndStopKeepsTheSeconds) {
    const auto path = dir_ / "lost-api.wav";
    ASSERT_EQ(StartRecording(path), 999);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (RecordedSeconds() < 1 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    StopServer(SIGKILL);
    const auto killed = Clock::now();
    while (RecordingFailure().empty() && Clock::now() < killed + std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_LT(Clock::now() - killed, std::chrono::seconds(2));
    EXPECT_NE(RecordingFailure().find("the audio input device failed"), std::string::npos);
    const std::int32_t seconds = StopRecording();
    EXPECT_GE(seconds, 1);
    ExpectRecordingOf(ReadBytes(path), static_cast<std::uint32_t>(seconds));
}

// A source suspended and resumed in the middle (as a server does on idle, or a user with pactl)
// holds capture up for a while; the recording goes on once it is back.
TEST_F(PulseServerTest, SuspendedSourceIsRecoveredAndTheRecordingGoesOn) {
    const auto path = dir_ / "suspended.wav";
    const std::string pactl =
        "PULSE_SERVER='unix:" + socket_.string() + "' pactl suspend-source sine_input ";
    ASSERT_EQ(StartRecording(path, 3), 999);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ASSERT_EQ(std::system((pactl + "1").c_str()), 0) << "pactl (pulseaudio-utils) is needed";
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ASSERT_EQ(std::system((pactl + "0").c_str()), 0);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (RecordedSeconds() < 3 && RecordingFailure().empty() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(RecordingFailure(), "");
    EXPECT_EQ(StopRecording(), 3);
    ExpectRecordingOf(ReadBytes(path), 3);
}

}  // namespace
}  // namespace imabox
