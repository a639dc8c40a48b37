// SPDX-License-Identifier: MIT
// A capture backend for tests: the bytes a device "captures" are the bytes a test feeds in, from
// whatever thread it likes, and each device operation can be made to fail. Linked instead of
// ALSA into the test binaries only.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "recorder/wave_in.hpp"

namespace imabox {

struct TestWaveInFaults {
    MMRESULT open = MMSYSERR_NOERROR;   // returned by every open
    MMRESULT queue = MMSYSERR_NOERROR;  // returned by every waveInAddBuffer
    MMRESULT start = MMSYSERR_NOERROR;  // returned by every waveInStart
};

struct TestWaveInCounts {
    int opens = 0;  // devices opened successfully
    int openAttempts = 0;
    int openNow = 0;  // devices open at this moment
    int starts = 0;
    int stops = 0;
};

// The one device name the scripted backend knows besides the default (an empty name).
inline constexpr std::string_view kTestDeviceName = "scripted";

// Drops unread input, clears the faults and the counts.
void TestWaveInReset();
void TestWaveInSetFaults(const TestWaveInFaults& faults);
TestWaveInCounts TestWaveInGetCounts();

// The name the last open asked for ("" for the default device).
std::string TestWaveInLastDeviceName();

// Makes the device fail for good, as an unplugged one does: the read in progress (or the next
// one) reports the failure.
void TestWaveInFail();

// Appends bytes to the input (a whole number of 16-bit frames).
void TestWaveInFeed(std::span<const std::uint8_t> bytes);

// Waits until every fed byte has been read and the capture thread waits for more, so that each
// buffer it filled has been handed to the callback and the callback has returned. False on
// timeout.
bool TestWaveInWaitDrained(std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace imabox
