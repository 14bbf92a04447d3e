#include "platform/CodePage.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <langinfo.h>
#include <locale.h>
#include <memory>
#include <mutex>

#include <iconv.h>

#include "platform/Error.h"

namespace CodePage {
namespace {

const iconv_t NoConverter = reinterpret_cast<iconv_t>(-1);

// Everything about one code page that is worked out once, when it is chosen.
struct TState {
    std::string Name;
    bool UTF8 = false;
    bool AsciiIdentity = false;   // bytes 0x00-0x7F stand for themselves, both ways
    std::array<bool, 256> Lead{};
};

std::mutex StateMutex;
std::shared_ptr<const TState> CurrentState;      // guarded by StateMutex
// Bumped on every change of the code page; 0 means "not chosen yet".
std::atomic<uint64_t> Generation{0};

// iconv_t is not thread-safe, so each thread keeps its own pair.
struct TThreadCache {
    uint64_t Generation = 0;
    std::shared_ptr<const TState> State;
    iconv_t ToUTF8 = NoConverter;
    iconv_t FromUTF8 = NoConverter;

    void CloseConverters()
    {
        if (ToUTF8 != NoConverter) iconv_close(ToUTF8);
        if (FromUTF8 != NoConverter) iconv_close(FromUTF8);
        ToUTF8 = FromUTF8 = NoConverter;
    }
    ~TThreadCache() { CloseConverters(); }
};
thread_local TThreadCache ThreadCache;

bool NameMeansUTF8(const std::string& name)
{
    std::string folded;
    for (char c : name) {
        if (c == '-' || c == '_') continue;
        folded += static_cast<char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
    }
    return folded == "UTF8";
}

// Converts one buffer in a single call, without any replacement; false on any error.
bool ConvertStrict(iconv_t cd, std::string_view in, std::string& out)
{
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out.assign(in.size() * 4 + 16, '\0');
    char* inp = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    char* outp = out.data();
    size_t outLeft = out.size();
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == static_cast<size_t>(-1)) return false;
    if (iconv(cd, nullptr, nullptr, &outp, &outLeft) == static_cast<size_t>(-1)) return false;
    out.resize(out.size() - outLeft);
    return true;
}

std::shared_ptr<const TState> MakeState(const std::string& name)
{
    auto state = std::make_shared<TState>();
    state->Name = name;
    state->UTF8 = NameMeansUTF8(name);
    if (state->UTF8) {
        state->AsciiIdentity = true;
        return state;
    }
    iconv_t toUTF8 = iconv_open("UTF-8", name.c_str());
    if (toUTF8 == NoConverter) throw Exception("unknown code page: " + name);
    iconv_t fromUTF8 = iconv_open(name.c_str(), "UTF-8");
    if (fromUTF8 == NoConverter) {
        iconv_close(toUTF8);
        throw Exception("unknown code page: " + name);
    }
    // A lone byte that iconv calls an incomplete sequence starts a multi-byte character.
    for (int b = 0; b < 256; ++b) {
        char in = static_cast<char>(b);
        char* inp = &in;
        size_t inLeft = 1;
        char outBuf[16];
        char* outp = outBuf;
        size_t outLeft = sizeof outBuf;
        iconv(toUTF8, nullptr, nullptr, nullptr, nullptr);
        state->Lead[b] = iconv(toUTF8, &inp, &inLeft, &outp, &outLeft) == static_cast<size_t>(-1) && errno == EINVAL;
    }
    std::string ascii(128, '\0');
    for (int b = 0; b < 128; ++b) ascii[b] = static_cast<char>(b);
    std::string there, back;
    state->AsciiIdentity = ConvertStrict(toUTF8, ascii, there) && there == ascii &&
                           ConvertStrict(fromUTF8, ascii, back) && back == ascii;
    iconv_close(toUTF8);
    iconv_close(fromUTF8);
    return state;
}

// The locale's character set, without touching the process-wide locale.
std::string LocaleCodeSet()
{
    std::string codeSet;
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (loc != static_cast<locale_t>(0)) {
        const char* name = nl_langinfo_l(CODESET, loc);
        if (name) codeSet = name;
        freelocale(loc);
    }
    if (codeSet.empty() || codeSet == "ANSI_X3.4-1968" || codeSet == "ASCII" || codeSet == "US-ASCII" ||
        NameMeansUTF8(codeSet))
        return "UTF-8";
    return codeSet;
}

const TState& Current()
{
    TThreadCache& cache = ThreadCache;
    uint64_t generation = Generation.load(std::memory_order_acquire);
    if (generation == 0 || generation != cache.Generation) {
        std::lock_guard<std::mutex> lock(StateMutex);
        if (!CurrentState) {
            try {
                CurrentState = MakeState(LocaleCodeSet());
            } catch (const Exception&) {
                CurrentState = MakeState("UTF-8");
            }
            Generation.store(1, std::memory_order_release);
        }
        cache.CloseConverters();
        cache.State = CurrentState;
        cache.Generation = Generation.load(std::memory_order_relaxed);
    }
    return *cache.State;
}

iconv_t Converter(bool toUTF8)
{
    TThreadCache& cache = ThreadCache;
    iconv_t& cd = toUTF8 ? cache.ToUTF8 : cache.FromUTF8;
    if (cd == NoConverter) {
        const std::string& name = cache.State->Name;
        cd = toUTF8 ? iconv_open("UTF-8", name.c_str()) : iconv_open(name.c_str(), "UTF-8");
        if (cd == NoConverter) throw Exception("unknown code page: " + name);
    }
    return cd;
}

bool AllAscii(std::string_view text)
{
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

const char UTF8Replacement[] = "\xEF\xBF\xBD";

// The text with each byte that starts no valid UTF-8 sequence replaced.
std::string ReplaceInvalidUTF8(std::string_view text, std::string_view replacement)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    // Valid text, the usual case, is copied as a whole.
    while (i < n) {
        const size_t len = UTF8SequenceLength(p + i, n - i);
        if (len == 0) break;
        i += len;
    }
    if (i == n) return std::string(text);
    std::string out(text.substr(0, i));
    while (i < n) {
        const size_t len = UTF8SequenceLength(p + i, n - i);
        if (len == 0) {
            out += replacement;
            ++i;
        } else {
            out.append(text.data() + i, len);
            i += len;
        }
    }
    return out;
}

// iconv over the whole text; each failing piece is replaced and skipped.
// skipBad tells how many input bytes a failing piece covers.
template <typename TSkip>
std::string ConvertReplacing(iconv_t cd, std::string_view in, std::string_view replacement, size_t growth,
                             TSkip skipBad)
{
    std::string out(in.size() * growth + 8, '\0');
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* inp = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    size_t used = 0;
    auto room = [&](size_t needed) {
        if (out.size() - used < needed) out.resize(std::max(out.size() * 2, used + needed + 16));
    };
    while (inLeft > 0) {
        char* outp = out.data() + used;
        size_t outLeft = out.size() - used;
        size_t result = iconv(cd, &inp, &inLeft, &outp, &outLeft);
        int error = errno;
        used = outp - out.data();
        if (result != static_cast<size_t>(-1)) continue;
        if (error == E2BIG) {
            room(out.size());
            continue;
        }
        // EILSEQ, or EINVAL: an incomplete piece at the end, replaced as a whole
        size_t skip = error == EINVAL ? inLeft : std::max<size_t>(1, std::min(inLeft, skipBad(inp, inLeft)));
        room(replacement.size());
        std::copy(replacement.begin(), replacement.end(), out.begin() + used);
        used += replacement.size();
        inp += skip;
        inLeft -= skip;
    }
    for (;;) {   // back to the initial shift state
        char* outp = out.data() + used;
        size_t outLeft = out.size() - used;
        size_t result = iconv(cd, nullptr, nullptr, &outp, &outLeft);
        int error = errno;
        used = outp - out.data();
        if (result == static_cast<size_t>(-1) && error == E2BIG) {
            room(64);
            continue;
        }
        break;
    }
    out.resize(used);
    return out;
}

}  // namespace

size_t UTF8SequenceLength(const unsigned char* p, size_t available)
{
    if (available == 0) return 0;
    unsigned char b = p[0];
    if (b < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;   // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        if (b == 0xE0) low = 0xA0;            // shortest form
        if (b == 0xED) high = 0x9F;           // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;           // at most U+10FFFF
    } else {
        return 0;
    }
    if (available < length) return 0;
    if (p[1] < low || p[1] > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return length;
}

void Set(const std::string& name)
{
    std::shared_ptr<const TState> state = MakeState(name);
    std::lock_guard<std::mutex> lock(StateMutex);
    CurrentState = std::move(state);
    uint64_t next = Generation.load(std::memory_order_relaxed) + 1;
    if (next == 1) next = 2;   // generation 1 belongs to the locale's code page
    Generation.store(next, std::memory_order_release);
}

std::string Name() { return Current().Name; }

bool IsUTF8() { return Current().UTF8; }

bool IsLeadByte(unsigned char b) { return Current().Lead[b]; }

std::string SystemToUTF8(std::string_view text)
{
    const TState& state = Current();
    if (state.UTF8) return ReplaceInvalidUTF8(text, UTF8Replacement);
    if (state.AsciiIdentity && AllAscii(text)) return std::string(text);
    return ConvertReplacing(Converter(true), text, UTF8Replacement, 3, [](const char*, size_t) { return size_t{1}; });
}

std::string UTF8ToSystem(std::string_view utf8)
{
    const TState& state = Current();
    if (state.AsciiIdentity && AllAscii(utf8)) return std::string(utf8);
    if (state.UTF8) return ReplaceInvalidUTF8(utf8, std::string_view(&ReplacementChar, 1));
    return ConvertReplacing(Converter(false), utf8, std::string_view(&ReplacementChar, 1), 1,
                            [](const char* p, size_t left) {
                                size_t len = UTF8SequenceLength(reinterpret_cast<const unsigned char*>(p), left);
                                return len == 0 ? size_t{1} : len;
                            });
}

}  // namespace CodePage
