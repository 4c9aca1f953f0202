// Random texts through the converter, compared with outputs recorded from the
// straightforward three-pass converter (decode everything, compose, emit one
// character at a time) before its fast paths were added. Any change of an
// output byte or a result code shows up here as a checksum mismatch.
//
// To record the table again (only when the output is meant to change), run
// the test with TILO2_RECORD_CONVERTER_SUMS set to the file to write.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "converter_test_util.h"
#include "../utf8_text.h"

namespace {

using convtest::Open;

constexpr const char* kSumsFile = TILO2_TEST_DATA_DIR "/converter_random_sums.txt";

// Same numbers on every platform (the standard distributions are not).
class Random {
public:
    explicit Random(uint64_t seed) : s_(seed) {}
    uint64_t Next() {
        uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
    uint32_t Range(uint32_t lo, uint32_t hi) { return lo + Below(hi - lo + 1); }

private:
    uint64_t s_;
};

void PutUtf8(std::string& s, uint32_t cp) { s += testtext::Utf8(cp); }

// Marks that compose with common Latin, Greek and Cyrillic letters.
constexpr uint32_t kMarks[] = {0x300, 0x301, 0x302, 0x303, 0x304, 0x306, 0x307, 0x308, 0x309,
                               0x30A, 0x30B, 0x30C, 0x31B, 0x323, 0x327, 0x328, 0x342, 0x345};
constexpr uint32_t kSpecials[] = {0x20AC, 0x20A9, 0x066A, 0x066D, 0x20AB, 0x00B4, 0x00A8, 0x02DC,
                                  0x2018, 0x2019, 0x201C, 0x2022, 0x2026, 0x2122, 0xFFFD, 0x1F600};
constexpr const char* kBases = "aeiouyAEIOUYcCnNsSzZgGwW";
constexpr const char* kBadUtf8[] = {
    "\x80", "\xBF", "\xC3", "\xC0\x80", "\xC1\xBF", "\xE2\x82", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
    "\xF0\x9F\x98", "\xF8", "\xFF", "\xFE\xFE", "\xC3\x28", "\xE2\x28\xA1",
};

uint32_t RandomBmp(Random& r) {
    for (;;) {
        const uint32_t cp = r.Range(0x80, 0xFFFF);
        if (cp < 0xD800 || cp > 0xDFFF) return cp;
    }
}

std::string RandomText(Random& r) {
    std::string s;
    const bool bad = r.Below(3) == 0;  // invalid UTF-8 in a third of the texts
    const uint32_t pieces = r.Range(1, 120);
    for (uint32_t p = 0; p < pieces; ++p) {
        switch (r.Below(14)) {
            case 0:
            case 1: {  // an ASCII run, receipt text is mostly this
                const uint32_t n = r.Range(1, 24);
                for (uint32_t k = 0; k < n; ++k) s += static_cast<char>(r.Range(0x20, 0x7E));
                break;
            }
            case 2: PutUtf8(s, r.Range(0xA0, 0xFF)); break;
            case 3: PutUtf8(s, r.Range(0x100, 0x2FF)); break;
            case 4: PutUtf8(s, r.Range(0x370, 0x3FF)); break;
            case 5: PutUtf8(s, r.Range(0x400, 0x4FF)); break;
            case 6:
            case 7: {  // a letter with one to four marks, or marks alone
                if (r.Below(4) != 0) s += kBases[r.Below(24)];
                const uint32_t n = r.Range(1, 4);
                for (uint32_t k = 0; k < n; ++k) {
                    PutUtf8(s, r.Below(3) == 0 ? r.Range(0x300, 0x36F) : kMarks[r.Below(std::size(kMarks))]);
                }
                break;
            }
            case 8: PutUtf8(s, r.Below(2) == 0 ? r.Range(0x4E00, 0x9FFF) : r.Range(0x3040, 0x30FF)); break;
            case 9: PutUtf8(s, r.Range(0xFF61, 0xFF9F)); break;
            case 10: {  // sets, box drawing, Thai, Arabic, Hebrew, Vietnamese
                const uint32_t ranges[][2] = {{0x2500, 0x257F}, {0x0E01, 0x0E5B}, {0x0600, 0x06FF},
                                              {0x05D0, 0x05EA}, {0x1EA0, 0x1EF9}, {0x0900, 0x097F}};
                if (r.Below(2) == 0) {
                    PutUtf8(s, kSpecials[r.Below(std::size(kSpecials))]);
                } else {
                    const auto& g = ranges[r.Below(std::size(ranges))];
                    PutUtf8(s, r.Range(g[0], g[1]));
                }
                break;
            }
            case 11:
                if (bad) {
                    s += kBadUtf8[r.Below(std::size(kBadUtf8))];
                } else {
                    s += static_cast<char>(r.Range(0x20, 0x7E));
                }
                break;
            case 12: s += "\n\t\r\x1B"[r.Below(4)]; if (r.Below(8) == 0) s += '\0'; break;
            default: PutUtf8(s, r.Below(8) == 0 ? r.Range(0x10000, 0x10FFFF) : RandomBmp(r)); break;
        }
    }
    return s;
}

uint64_t Fnv(const std::vector<uint8_t>& bytes) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (const uint8_t b : bytes) h = (h ^ b) * 0x100000001B3ull;
    return h;
}

// Converts `text` in one piece or in several (several set-data calls before
// one fetch); the line names every result code, the size and a checksum.
std::string Run(OvucHandle h, const std::string& text, Random& r, bool split = true) {
    std::ostringstream line;
    OvucSetEncodeType(h);
    const uint32_t parts = split && r.Below(4) == 0 ? r.Range(2, 3) : 1;
    size_t from = 0;
    for (uint32_t k = 0; k < parts; ++k) {
        const size_t to = k + 1 == parts ? text.size() : from + r.Below(static_cast<uint32_t>(text.size() - from + 1));
        if (to > from) {
            // Exactly sized, so the sanitizer build sees any read past the text.
            std::vector<char> exact(text.begin() + static_cast<ptrdiff_t>(from),
                                    text.begin() + static_cast<ptrdiff_t>(to));
            line << OvucSetData(h, exact.data(), exact.size()) << ',';
        }
        from = to;
    }
    size_t size = 0;
    std::vector<uint8_t> out;
    if (OvucGetOutputData(h, nullptr, &size) == OVUC_ERR_BUFFER_SMALL) {
        out.resize(size);
        line << OvucGetOutputData(h, out.data(), &size);
    }
    char sum[32];
    std::snprintf(sum, sizeof sum, "%016llx", static_cast<unsigned long long>(Fnv(out)));
    line << ' ' << out.size() << ' ' << sum;
    return line.str();
}

std::vector<std::string> AllLines() {
    const char* models[] = {"RP-S12E_ank.txt", "CD-A2_ank.txt", "RP-M3_ank.txt", "RP-S6_sa.txt", "RP-D6_sc.txt",
                            "RP-B2_sa.txt"};
    std::vector<std::string> lines;
    for (const char* model : models) {
        const OvucHandle h = Open(model);
        EXPECT_GT(h, 0) << model;
        if (h <= 0) continue;
        Random r(0x5EED0000u + lines.size());
        // One handle for the whole series: the current table carries over.
        for (int c = 0; c < 400; ++c) {
            lines.push_back(std::string(model) + ' ' + std::to_string(c) + ' ' + Run(h, RandomText(r), r));
        }
        // Texts that fill a chain: bytes, set switches, table switches.
        std::string big;
        while (big.size() < 6 * 65536) big += "Receipt line \xC3\xA9\xE2\x82\xAC\n";
        lines.push_back(std::string(model) + " bytes " + Run(h, big, r, false));
        std::string sets;
        for (int k = 0; k < 40000; ++k) sets += "\xE2\x82\xA9";
        lines.push_back(std::string(model) + " sets " + Run(h, sets, r, false));
        std::string tables;
        for (int k = 0; k < 40000; ++k) tables += "\xCE\xB1\xD0\xB4";
        lines.push_back(std::string(model) + " tables " + Run(h, tables, r, false));
        // The byte chain full to the last byte, then whatever comes next.
        const char* tails[] = {"B", "\xE2\x82\xAC" "B", "\xCC\x81", "\xE2\x82\xA9", "\xE3\x81\x82", "\x80"};
        for (size_t k = 0; k < std::size(tails); ++k) {
            for (const size_t fill : {size_t{5 * 65536 - 1}, size_t{5 * 65536}}) {
                const std::string text = std::string(fill, 'e') + tails[k];
                lines.push_back(std::string(model) + " full" + std::to_string(fill) + '_' + std::to_string(k) + ' ' +
                                Run(h, text, r, false));
            }
        }
        OvucCloseHandle(h);
    }
    return lines;
}

TEST(ConverterRandom, OutputsMatchRecordedSums) {
    const std::vector<std::string> lines = AllLines();
    if (const char* record = std::getenv("TILO2_RECORD_CONVERTER_SUMS")) {
        std::ofstream f(record);
        for (const std::string& l : lines) f << l << '\n';
        GTEST_SKIP() << "recorded " << lines.size() << " lines to " << record;
    }
    std::ifstream f(kSumsFile);
    ASSERT_TRUE(f) << kSumsFile;
    std::vector<std::string> expected;
    for (std::string l; std::getline(f, l);) expected.push_back(l);
    ASSERT_EQ(lines.size(), expected.size());
    int shown = 0;
    for (size_t i = 0; i < lines.size() && shown < 10; ++i) {
        if (lines[i] != expected[i]) {
            ADD_FAILURE() << "got      " << lines[i] << "\nexpected " << expected[i];
            ++shown;
        }
    }
}

}  // namespace
