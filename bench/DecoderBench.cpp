// The decoders and the keyword matcher in bytes of input per second, next to memcpy of
// the same input as the ceiling.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mime/Keyword.h"
#include "mime/MimeDecoder.h"

namespace {

// Sizes of a subject, a body line, and a large run that stays under kDecodeLimit.
constexpr std::size_t kShort = 64;
constexpr std::size_t kLong = 30000;

// ISO-2022-JP text as mail bodies carry it: hiragana and kanji runs between escapes,
// ASCII words, bare LF line ends.
std::string JisText(std::size_t size) {
    std::mt19937 rng(7);
    std::string text;
    while (text.size() < size) {
        text += "\x1b$B";
        const int pairs = 8 + static_cast<int>(rng() % 24);
        for (int i = 0; i < pairs; ++i) {
            text += static_cast<char>(0x24 + rng() % 0x20);  // rows 0x24..0x43: kana, kanji
            text += static_cast<char>(0x21 + rng() % 0x5E);
        }
        text += "\x1b(B";
        text += (rng() % 4 == 0) ? "\n" : " ASCII words, 2024 ";
    }
    text.resize(size);
    return text;
}

// Plain ASCII mail text with bare LF line ends every 72 bytes.
std::string AsciiText(std::size_t size) {
    std::string text;
    const std::string line =
        "The quick brown fox jumps over the lazy dog; 0123456789 and so on..\n";
    while (text.size() < size) {
        text += line;
    }
    text.resize(size);
    return text;
}

// Base64 of random bytes that are never zero, so the whole run decodes.
std::string Base64Text(std::size_t size) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::mt19937 rng(11);
    std::string text;
    while (text.size() < size) {
        unsigned char b[3];
        for (auto& c : b) {
            c = static_cast<unsigned char>(1 + rng() % 255);
        }
        const unsigned v = (b[0] << 16) | (b[1] << 8) | b[2];
        text += kAlphabet[(v >> 18) & 63];
        text += kAlphabet[(v >> 12) & 63];
        text += kAlphabet[(v >> 6) & 63];
        text += kAlphabet[v & 63];
    }
    text.resize(size / 4 * 4);
    return text;
}

// A Shift_JIS subject, hiragana and ASCII, that none of the keywords occurs in.
std::string SjisText(std::size_t size) {
    std::mt19937 rng(13);
    std::string text;
    while (text.size() < size) {
        if (rng() % 3 == 0) {
            text += "Re: ";
        } else {
            text += '\x82';
            text += static_cast<char>(0x9F + rng() % 0x52);  // hiragana
        }
    }
    text.resize(size / 2 * 2);
    return text;
}

const std::string kKeywords = "\x8D\x4C\x8D\x90,\x96\xA2\x8F\xB3\x91\xF8,unsubscribe,SALE,zz";

void Run(benchmark::State& state, const std::string& input, auto&& work) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(work(input));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

void BM_Memcpy(benchmark::State& state) {
    const std::string input = AsciiText(static_cast<std::size_t>(state.range(0)));
    std::vector<char> out(input.size());
    Run(state, input, [&](const std::string& in) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::ClobberMemory();
        return out.data();
    });
}
BENCHMARK(BM_Memcpy)->Arg(kShort)->Arg(kLong);

void BM_DecodeJisKanji(benchmark::State& state) {
    const CMimeDecoder decoder;
    Run(state, JisText(static_cast<std::size_t>(state.range(0))),
        [&](const std::string& in) { return decoder.DecodeJis(in); });
}
BENCHMARK(BM_DecodeJisKanji)->Arg(kShort)->Arg(kLong);

void BM_DecodeJisAscii(benchmark::State& state) {
    const CMimeDecoder decoder;
    Run(state, AsciiText(static_cast<std::size_t>(state.range(0))),
        [&](const std::string& in) { return decoder.DecodeJis(in); });
}
BENCHMARK(BM_DecodeJisAscii)->Arg(kShort)->Arg(kLong);

void BM_DecodeBase64(benchmark::State& state) {
    const CMimeDecoder decoder;
    Run(state, Base64Text(static_cast<std::size_t>(state.range(0))),
        [&](const std::string& in) { return decoder.DecodeBase64(in); });
}
BENCHMARK(BM_DecodeBase64)->Arg(kShort)->Arg(kLong);

void BM_ContainsAnyKeyword(benchmark::State& state) {
    Run(state, SjisText(static_cast<std::size_t>(state.range(0))),
        [&](const std::string& in) { return ContainsAnyKeyword(kKeywords, in); });
}
BENCHMARK(BM_ContainsAnyKeyword)->Arg(kShort)->Arg(kLong);

}  // namespace
