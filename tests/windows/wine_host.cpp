// SPDX-License-Identifier: MIT
// A Windows host program for imabox.dll, run under Wine by CTest. It uses the DLL the way its
// callers do: LoadLibrary, then GetProcAddress by name or by ordinal.
//
//   wine_host write-inputs DIR [FILE...]     writes the test inputs and DIR/manifest.txt
//   wine_host convert name|ordinal IN OUT    one XBoxAudio call; exits with its status
//   wine_host match-linux INPUTS REF OUT     every input converted both ways matches REF
//   wine_host <check> [DIR]                  exports, resources, fault, wide-paths, load-unload,
//                                            recorder
//
// Each check prints what it found and exits with 0 only when everything held.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;
using XBoxAudioFn = std::int32_t(__cdecl*)(const wchar_t*, const wchar_t*);

constexpr DWORD kFatalExitCode = 0xFFFFFFFFu;  // ExitProcess(-1)

int g_failures = 0;

void Check(bool ok, const std::string& what) {
    if (!ok) {
        ++g_failures;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

Bytes ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string ReadText(const fs::path& path) {
    const Bytes b = ReadBytes(path);
    return std::string(b.begin(), b.end());
}

std::string WithoutCarriageReturns(std::string text) {
    std::erase(text, '\r');
    return text;
}

fs::path HostPath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n < buffer.size()) {
            buffer.resize(n);
            return fs::path(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
}

fs::path HostFolder() {
    return HostPath().parent_path();
}

// imabox.dll from the host's own folder, never from the system's search path.
HMODULE LoadImabox() {
    const fs::path dll = HostFolder() / L"imabox.dll";
    HMODULE module = LoadLibraryW(dll.c_str());
    if (module == nullptr)
        std::printf("LoadLibrary(%s) failed: error %lu\n", Narrow(dll.wstring()).c_str(),
                    GetLastError());
    return module;
}

template <typename Fn>
Fn Resolve(HMODULE module, const char* nameOrOrdinal) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, nameOrOrdinal)));
}

const char* ByOrdinal(WORD ordinal) {
    return reinterpret_cast<const char*>(static_cast<ULONG_PTR>(ordinal));
}

// ---- Child processes ----------------------------------------------------------------------

struct ChildResult {
    std::string output;             // standard output, as the child wrote it (CR LF line ends)
    DWORD exitCode = STILL_ACTIVE;  // until the child has ended
    bool started = false;
};

std::wstring QuoteArgument(const std::wstring& arg) {
    return L"\"" + arg + L"\"";
}

// Runs this host again with `args`, capturing its standard output through a pipe.
ChildResult RunHost(const std::vector<std::wstring>& args) {
    ChildResult result;
    const std::wstring self = HostPath().wstring();
    std::wstring commandLine = QuoteArgument(self);
    for (const std::wstring& arg : args)
        commandLine += L" " + QuoteArgument(arg);

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    result.started = CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                    nullptr, nullptr, &startup, &process) != 0;
    CloseHandle(writeEnd);
    if (result.started) {
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0)
            result.output.append(chunk, got);
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &result.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(readEnd);
    return result;
}

ChildResult RunConvert(const wchar_t* how, const fs::path& in, const fs::path& out) {
    return RunHost({L"convert", how, in.wstring(), out.wstring()});
}

// ---- Test inputs --------------------------------------------------------------------------

struct Random {
    std::uint32_t state;
    std::uint32_t Next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

void Put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& b, std::uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}
void PutId(Bytes& b, std::string_view id) {
    b.insert(b.end(), id.begin(), id.end());
}

struct Format {
    std::uint16_t tag = 1;
    std::uint16_t channels = 1;
    std::uint32_t rate = 8000;
    std::uint16_t bits = 16;
};

// A WAVE file: fmt chunk (20-byte body for Xbox ADPCM), optional `extra` chunks, then a data
// chunk declaring `declared` bytes and holding `payload`.
Bytes MakeWave(const Format& f, const Bytes& extra, std::uint32_t declared, const Bytes& payload) {
    const bool adpcm = f.tag == 0x0069;
    const std::uint16_t align = adpcm ? static_cast<std::uint16_t>(36 * f.channels)
                                      : static_cast<std::uint16_t>(f.channels * f.bits / 8);
    Bytes b;
    PutId(b, "RIFF");
    Put32(b, 0);
    PutId(b, "WAVE");
    PutId(b, "fmt ");
    Put32(b, adpcm ? 20 : 16);
    Put16(b, f.tag);
    Put16(b, f.channels);
    Put32(b, f.rate);
    Put32(b, adpcm ? f.rate * align / 65 : f.rate * align);
    Put16(b, align);
    Put16(b, adpcm ? 4 : f.bits);
    if (adpcm) {
        Put16(b, 2);
        Put16(b, 64);
    }
    b.insert(b.end(), extra.begin(), extra.end());
    PutId(b, "data");
    Put32(b, declared);
    b.insert(b.end(), payload.begin(), payload.end());
    const auto riffSize = static_cast<std::uint32_t>(b.size() - 8);
    for (int i = 0; i < 4; ++i)
        b[4 + i] = static_cast<std::uint8_t>(riffSize >> (8 * i));
    return b;
}

Bytes PCMPayload(std::size_t samples, std::uint32_t seed) {
    Random r{seed};
    Bytes b;
    for (std::size_t i = 0; i < samples; ++i) {
        // A wandering tone with noise: large and small steps both reach the coder.
        const auto tone = static_cast<std::int32_t>((i * 37) % 2000) * 12 - 12000;
        const auto noise = static_cast<std::int32_t>(r.Next() % 4001) - 2000;
        Put16(b, static_cast<std::uint16_t>(static_cast<std::int16_t>(tone + noise)));
    }
    return b;
}

// Whole Xbox ADPCM blocks of random codes; header step indexes include values above 88.
Bytes ADPCMPayload(std::size_t bytes, std::uint32_t seed) {
    Random r{seed};
    Bytes b(bytes);
    for (auto& byte : b)
        byte = static_cast<std::uint8_t>(r.Next());
    return b;
}

int WriteInputs(const fs::path& dir, const std::vector<fs::path>& extraFiles) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::map<std::string, Bytes> files;
    const Format mono{};
    const Format stereo22{1, 2, 22050, 16};
    const Format stereo44{1, 2, 44100, 16};
    const Format adpcmMono{0x0069, 1, 8000, 16};
    const Format adpcmStereo{0x0069, 2, 22050, 16};

    files["pcm_mono_100.wav"] = MakeWave(mono, {}, 200, PCMPayload(100, 1));
    files["pcm_stereo_65.wav"] = MakeWave(stereo22, {}, 260, PCMPayload(130, 2));
    files["pcm_mono_0.wav"] = MakeWave(mono, {}, 0, {});
    files["pcm_stereo_odd_size.wav"] = MakeWave(stereo22, {}, 263, PCMPayload(132, 3));
    Bytes fact;
    PutId(fact, "fact");
    Put32(fact, 4);
    Put32(fact, 300);
    files["pcm_with_fact.wav"] = MakeWave(mono, fact, 600, PCMPayload(300, 4));
    files["pcm_short_payload.wav"] = MakeWave(mono, {}, 400, PCMPayload(50, 5));
    files["pcm_stereo_long.wav"] = MakeWave(stereo44, {}, 80000, PCMPayload(40000, 6));
    files["adpcm_mono_72.wav"] = MakeWave(adpcmMono, {}, 72, ADPCMPayload(72, 7));
    files["adpcm_mono_100.wav"] = MakeWave(adpcmMono, {}, 100, ADPCMPayload(100, 8));
    files["adpcm_stereo_5_blocks.wav"] = MakeWave(adpcmStereo, {}, 360, ADPCMPayload(360, 9));
    files["adpcm_short_payload.wav"] = MakeWave(adpcmMono, {}, 144, ADPCMPayload(72, 10));
    // Inputs every build must refuse, with the same message.
    Bytes notRiff = MakeWave(mono, {}, 200, PCMPayload(100, 11));
    std::memcpy(notRiff.data(), "RIFX", 4);
    files["fault_not_riff.wav"] = notRiff;
    files["fault_8_bit.wav"] = MakeWave({1, 1, 8000, 8}, {}, 100, Bytes(100, 0x80));
    files["fault_float_format.wav"] = MakeWave({3, 1, 8000, 32}, {}, 8, Bytes(8, 0));
    files["fault_empty.wav"] = {};
    files["fault_no_channels.wav"] = MakeWave({1, 0, 8000, 16}, {}, 200, PCMPayload(100, 12));
    Bytes list;
    PutId(list, "LIST");
    Put32(list, 4);
    PutId(list, "INFO");
    Bytes noData = MakeWave(mono, list, 20, PCMPayload(10, 13));
    files["fault_list_before_data.wav"] = noData;

    std::ofstream manifest(dir / "manifest.txt", std::ios::binary);
    for (const auto& [name, bytes] : files) {
        WriteBytes(dir / name, bytes);
        manifest << name << '\n';
    }
    for (const fs::path& extra : extraFiles) {
        if (!CopyFileW(extra.c_str(), (dir / extra.filename()).c_str(), FALSE))
            return 1;
        manifest << extra.filename().string() << '\n';
    }
    manifest << "fault_missing_input.wav\n";  // never written
    return manifest ? 0 : 1;
}

// ---- Checks -------------------------------------------------------------------------------

int Convert(std::string_view how, const wchar_t* in, const wchar_t* out) {
    HMODULE module = LoadImabox();
    if (module == nullptr)
        return 2;
    const auto fn = Resolve<XBoxAudioFn>(module, how == "ordinal" ? ByOrdinal(1) : "XBoxAudio");
    if (fn == nullptr) {
        std::printf("XBoxAudio not found by %.*s\n", static_cast<int>(how.size()), how.data());
        return 2;
    }
    const std::int32_t result = fn(in, out);
    // Only a successful conversion returns.
    return result == 0 ? 0 : 3;
}

// The names the DLL exports, read from the export directory of the loaded image, by ordinal.
std::map<DWORD, std::string> ExportedNames(HMODULE module, DWORD& functionCount) {
    const auto* base = reinterpret_cast<const std::uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    const auto* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
    std::map<DWORD, std::string> out;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        out[exports->Base + ordinals[i]] = reinterpret_cast<const char*>(base + names[i]);
    functionCount = exports->NumberOfFunctions;
    return out;
}

int CheckExports() {
    HMODULE module = LoadImabox();
    if (module == nullptr)
        return 1;
    const std::map<DWORD, std::string> expected = {
        {1, "XBoxAudio"},
#if IMABOX_HAS_RECORDER
        {2, "XBoxADPCMSoundRecorderStop"},
        {3, "XBoxADPCMSoundRecorderStart"},
#endif
    };
    DWORD functionCount = 0;
    const auto names = ExportedNames(module, functionCount);
    Check(names == expected, "the export table holds exactly the expected names and ordinals");
    Check(functionCount == expected.size(), "no export without a name");
    for (const auto& [ordinal, name] : names)
        std::printf("export @%lu %s\n", ordinal, name.c_str());
    for (const auto& [ordinal, name] : expected) {
        const FARPROC byName = GetProcAddress(module, name.c_str());
        const FARPROC byOrdinal = GetProcAddress(module, ByOrdinal(static_cast<WORD>(ordinal)));
        Check(byName != nullptr, name + " resolves by name");
        Check(byName == byOrdinal, name + " resolves to the same function by ordinal");
    }
    Check(GetProcAddress(module, ByOrdinal(static_cast<WORD>(expected.size() + 1))) == nullptr,
          "no function past the last ordinal");
    Check(GetProcAddress(module, "DllMain") == nullptr, "DllMain is not exported");
    FreeLibrary(module);
    return g_failures == 0 ? 0 : 1;
}

int CheckResources() {
    const fs::path dll = HostFolder() / L"imabox.dll";
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(dll.c_str(), &ignored);
    std::vector<std::uint8_t> info(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    const bool haveVersion =
        size > 0 && GetFileVersionInfoW(dll.c_str(), 0, size, info.data()) &&
        VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) &&
        fixedSize >= sizeof(VS_FIXEDFILEINFO);
    Check(haveVersion, "imabox.dll has a version resource");
    if (haveVersion) {
        Check(fixed->dwSignature == 0xFEEF04BDu, "version resource signature");
        Check(fixed->dwFileVersionMS == 0x00010000u && fixed->dwFileVersionLS == 0x00000001u,
              "file version 1.0.0.1");
        Check(fixed->dwProductVersionMS == 0x00010000u && fixed->dwProductVersionLS == 0x00000001u,
              "product version 1.0.0.1");
        Check(fixed->dwFileType == VFT_DLL, "file type DLL");
    }

    HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    Check(module != nullptr, "imabox.dll loads as a data file");
    if (module == nullptr)
        return 1;
    wchar_t text[128] = {};
    const int length = LoadStringW(module, 101, text, 128);
    Check(std::wstring(text, static_cast<std::size_t>(length)) ==
              L"Windows sockets initialization failed.",
          "string table entry 101");
    Check(LoadStringW(module, 102, text, 128) == 0 && LoadStringW(module, 100, text, 128) == 0,
          "the string table has no other entry beside 101");

    HRSRC typelib = FindResourceW(module, MAKEINTRESOURCEW(1), L"TYPELIB");
    Check(typelib != nullptr, "type library resource 1");
    if (typelib != nullptr) {
        const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, typelib)));
        const DWORD bytesSize = SizeofResource(module, typelib);
        Check(bytes != nullptr && bytesSize >= 4 && std::memcmp(bytes, "MSFT", 4) == 0,
              "the type library is a compiled type library");
    }
    FreeLibrary(module);
    return g_failures == 0 ? 0 : 1;
}

// Every input converted through the DLL, found by name and by ordinal, gives the console text,
// the status and the output bytes the Linux build gave for it.
int MatchLinux(const fs::path& inputs, const fs::path& ref, const fs::path& out) {
    fs::create_directories(out);
    std::ifstream manifest(inputs / "manifest.txt");
    std::string name;
    int cases = 0;
    while (std::getline(manifest, name)) {
        if (name.empty())
            continue;
        ++cases;
        const std::string linuxText = ReadText(ref / (name + ".txt"));
        const std::string linuxStatus = ReadText(ref / (name + ".status"));
        const bool linuxWrote = fs::exists(ref / name);
        for (const wchar_t* how : {L"name", L"ordinal"}) {
            const std::string label = name + " by " + Narrow(how);
            const fs::path output = out / (Narrow(how) + "_" + name);
            fs::remove(output);
            const ChildResult child = RunConvert(how, inputs / name, output);
            Check(child.started, label + ": host started");
            Check(WithoutCarriageReturns(child.output) == linuxText,
                  label + ": console text matches Linux\n--- Windows:\n" + child.output +
                      "--- Linux:\n" + linuxText);
            const DWORD expectedCode = linuxStatus == "0" ? 0 : kFatalExitCode;
            Check(linuxStatus == "0" || linuxStatus == "255",
                  label + ": Linux status is 0 or 255, was " + linuxStatus);
            Check(child.exitCode == expectedCode,
                  label + ": exit code " + std::to_string(child.exitCode));
            Check(fs::exists(output) == linuxWrote, label + ": output written as on Linux");
            if (linuxWrote && fs::exists(output))
                Check(ReadBytes(output) == ReadBytes(ref / name),
                      label + ": output bytes equal Linux's");
        }
    }
    Check(cases >= 15, "the manifest lists the inputs (" + std::to_string(cases) + ")");
    std::printf("%d inputs compared, %d failures\n", cases, g_failures);
    return g_failures == 0 ? 0 : 1;
}

// An output that cannot be created ends the host with -1 after the "ERROR: " line.
int CheckFault(const fs::path& dir) {
    fs::create_directories(dir);
    const fs::path input = dir / "fault_in.wav";
    WriteBytes(input, MakeWave({}, {}, 200, PCMPayload(100, 20)));
    const ChildResult child = RunConvert(L"name", input, dir / "no such folder" / "out.wav");
    const std::string text = WithoutCarriageReturns(child.output);
    const std::string tail = "Allocating extra size: 30\nERROR: Could not create output file!\n";
    Check(child.exitCode == kFatalExitCode, "exit code -1, was " + std::to_string(child.exitCode));
    Check(text.starts_with("Xbox ADPCM Decoder/Encoder\n"), "the banner comes first");
    Check(text.ends_with(tail), "ends with the ERROR line, was:\n" + text);
    Check(!fs::exists(dir / "no such folder"), "nothing created");
    return g_failures == 0 ? 0 : 1;
}

// Paths reach the files as the caller wrote them, characters outside the ANSI code page
// included; none lands on a look-alike name.
int CheckWidePaths(const fs::path& dir) {
    const fs::path folder = dir / L"\u03a9\u4e2d\u0101";  // Greek, CJK, Latin a-macron
    fs::create_directories(folder);
    const Bytes input = MakeWave({}, {}, 260, PCMPayload(130, 30));
    const fs::path in = folder / L"in\u0101.wav";
    const fs::path lookAlike = folder / L"ina.wav";
    WriteBytes(in, input);
    WriteBytes(lookAlike, MakeWave({}, {}, 2, PCMPayload(1, 31)));
    const fs::path out = folder / L"out\u0101\u263a.wav";
    const ChildResult child = RunConvert(L"ordinal", in, out);
    Check(child.exitCode == 0, "conversion succeeded:\n" + child.output);
    Check(fs::exists(out), "output written under its own name");
    // 130 frames: two blocks, 72 payload bytes after the 48-byte header.
    Check(fs::exists(out) && fs::file_size(out) == 120, "output holds the 130-frame input");

    const ChildResult back = RunConvert(L"name", out, folder / L"back\u4e2d.wav");
    Check(back.exitCode == 0 && fs::exists(folder / L"back\u4e2d.wav") &&
              fs::file_size(folder / L"back\u4e2d.wav") == 44 + 260,
          "converted back through a wide output path");

    std::set<std::wstring> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().wstring());
    const std::set<std::wstring> expected = {L"in\u0101.wav", L"ina.wav", L"out\u0101\u263a.wav",
                                             L"back\u4e2d.wav"};
    Check(names == expected, "no file written under a look-alike name");
    return g_failures == 0 ? 0 : 1;
}

// The DLL loads, works and unloads repeatedly inside one process.
int CheckLoadUnload(const fs::path& dir) {
    fs::create_directories(dir);
    const fs::path in = dir / "cycle_in.wav";
    WriteBytes(in, MakeWave({}, {}, 200, PCMPayload(100, 40)));
    Bytes first;
    for (int cycle = 0; cycle < 3; ++cycle) {
        HMODULE module = LoadImabox();
        Check(module != nullptr, "load " + std::to_string(cycle));
        if (module == nullptr)
            break;
        const auto fn = Resolve<XBoxAudioFn>(module, ByOrdinal(1));
        const fs::path out = dir / ("cycle_" + std::to_string(cycle) + ".wav");
        Check(fn != nullptr && fn(in.c_str(), out.c_str()) == 0, "convert in cycle");
        const Bytes bytes = ReadBytes(out);
        if (cycle == 0)
            first = bytes;
        Check(bytes.size() == 120 && bytes == first, "same 120-byte output every cycle");
        Check(FreeLibrary(module) != 0, "unload " + std::to_string(cycle));
        Check(GetModuleHandleW(L"imabox.dll") == nullptr, "unloaded for good");
    }
    return g_failures == 0 ? 0 : 1;
}

#if IMABOX_HAS_RECORDER
using RecorderStartFn = std::int32_t(__cdecl*)(const wchar_t*);
using RecorderStopFn = std::int32_t(__cdecl*)();

std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// A recording of `seconds` whole seconds: the 44-byte 8000 Hz mono 16-bit PCM header, then the
// samples.
void CheckRecording(const fs::path& path, std::int32_t seconds, const std::string& label) {
    const Bytes b = ReadBytes(path);
    const std::uint32_t data = static_cast<std::uint32_t>(seconds) * 16000;
    Check(b.size() == 44 + data, label + ": file size " + std::to_string(b.size()));
    if (b.size() < 44)
        return;
    Check(std::memcmp(b.data(), "RIFF", 4) == 0 && std::memcmp(b.data() + 8, "WAVEfmt ", 8) == 0 &&
              std::memcmp(b.data() + 36, "data", 4) == 0,
          label + ": chunk ids");
    Check(Get32(b, 4) == 36 + data && Get32(b, 40) == data, label + ": riff and data sizes");
    Check(Get32(b, 16) == 16 && Get32(b, 20) == 0x00010001u && Get32(b, 24) == 8000 &&
              Get32(b, 28) == 16000 && Get32(b, 32) == 0x00100002u,
          label + ": fmt chunk 16-bit mono 8000 Hz PCM");
}

// The recorder on whatever waveform-audio input Wine offers. Without a sound device Start fails
// with a device code and Stop closes the file as a recording of 0 seconds; with one, the
// recording holds whole seconds.
int CheckRecorder(const fs::path& dir) {
    fs::create_directories(dir);
    HMODULE module = LoadImabox();
    if (module == nullptr)
        return 1;
    const auto start = Resolve<RecorderStartFn>(module, ByOrdinal(3));
    const auto stop = Resolve<RecorderStopFn>(module, ByOrdinal(2));
    Check(start != nullptr && stop != nullptr, "recorder functions resolve by ordinal");
    if (start == nullptr || stop == nullptr)
        return 1;
    const fs::path path = dir / L"recording\u4e2d.wav";
    for (int round = 0; round < 2; ++round) {
        const std::string label = "round " + std::to_string(round);
        fs::remove(path);
        const std::int32_t started = start(path.c_str());
        std::printf("%s: Start returned %d\n", label.c_str(), static_cast<int>(started));
        Check(started == 999 || started == 1 || started == 2 || started == 3,
              label + ": Start returns 999 or a device failure code");
        if (started == 999)
            Sleep(1500);
        const std::int32_t seconds = stop();
        std::printf("%s: Stop returned %d\n", label.c_str(), static_cast<int>(seconds));
        Check(started == 999 ? seconds >= 0 && seconds <= 2 : seconds == 0,
              label + ": Stop returns the whole seconds written");
        CheckRecording(path, seconds, label);
    }
    // A recording is an input for the converter.
    const ChildResult child = RunConvert(L"name", path, dir / "recording.xbox.wav");
    Check(child.exitCode == 0, "the recording converts:\n" + child.output);
    FreeLibrary(module);
    return g_failures == 0 ? 0 : 1;
}
#endif

int Usage() {
    std::printf(
        "usage: wine_host write-inputs|convert|match-linux|exports|resources|fault|"
        "wide-paths|load-unload ...\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return Usage();
    const std::wstring mode = argv[1];
    std::vector<fs::path> args(argv + 2, argv + argc);
    if (mode == L"convert" && args.size() == 3)
        return Convert(Narrow(argv[2]), argv[3], argv[4]);
    if (mode == L"write-inputs" && !args.empty())
        return WriteInputs(args[0], std::vector<fs::path>(args.begin() + 1, args.end()));
    if (mode == L"match-linux" && args.size() == 3)
        return MatchLinux(args[0], args[1], args[2]);
    if (mode == L"exports")
        return CheckExports();
    if (mode == L"resources")
        return CheckResources();
    if (mode == L"fault" && args.size() == 1)
        return CheckFault(args[0]);
    if (mode == L"wide-paths" && args.size() == 1)
        return CheckWidePaths(args[0]);
    if (mode == L"load-unload" && args.size() == 1)
        return CheckLoadUnload(args[0]);
#if IMABOX_HAS_RECORDER
    if (mode == L"recorder" && args.size() == 1)
        return CheckRecorder(args[0]);
#endif
    return Usage();
}
