// SPDX-License-Identifier: MIT
// The wave bank reader on arbitrary bytes. It either refuses the bank with one line, or every
// entry lies inside the wave data; a bank it reads is written again, and that bank reads back
// with the same entries; every entry it can, it extracts as a WAVE file.
#include <string>
#include <vector>

#include "bank/bank_wave.hpp"
#include "bank/wave_bank.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace imabox;
    using namespace imabox::fuzz;
    MemoryByteSource source({data, size});
    bank::Warnings warnings;
    const Expected<bank::Bank> read = bank::ReadBank(source, warnings);
    if (!read) {
        const std::string& message = read.error().message;
        Require(!message.empty() && message.find('\n') == std::string::npos,
                "a refused bank is one line");
        return 0;
    }
    const bank::Bank& b = read.value();
    for (const bank::Entry& e : b.entries) {
        Require(e.offset <= b.dataLength && e.length <= b.dataLength - e.offset,
                "entries lie inside the wave data");
        Require(b.dataOffset + b.dataLength <= size, "the wave data lies inside the file");
    }
    // Padding may make a small input a large bank: those are not written here.
    const Expected<bank::Layout> layout = bank::PlanLayout(b);
    if (!layout || layout->fileBytes > (std::uint64_t{64} << 20))
        return 0;
    std::vector<std::uint8_t> out;
    MemoryByteSink sink(out);
    const Expected<bool> written = bank::WriteBank(
        b,
        [&](std::size_t i, ByteSink& to) {
            return bank::CopyRange(source, b.dataOffset + b.entries[i].offset, b.entries[i].length,
                                   to);
        },
        sink);
    if (written) {
        MemoryByteSource again(out);
        bank::Warnings more;
        const Expected<bank::Bank> reread = bank::ReadBank(again, more);
        Require(reread.ok(), "a written bank reads back");
        Require(reread->entries.size() == b.entries.size(), "the same count");
        for (std::size_t i = 0; i < b.entries.size(); ++i) {
            Require(reread->entries[i].length == b.entries[i].length, "the same lengths");
            Require(reread->entries[i].formatWord == b.entries[i].formatWord, "the same formats");
            Require(reread->entries[i].name == b.entries[i].name.substr(0, b.nameSlotBytes - 1) ||
                        !b.named(),
                    "the same names");
        }
    }
    for (std::size_t i = 0; i < b.entries.size(); ++i) {
        for (const bool decode : {false, true}) {
            std::vector<std::uint8_t> wave;
            MemoryByteSink waveSink(wave);
            const Expected<bool> extracted = bank::WriteEntryWave(source, b, i, decode, waveSink);
            Require(extracted.ok() || extracted.error().message.find('\n') == std::string::npos,
                    "extraction fails with one line");
        }
    }
    return 0;
}
