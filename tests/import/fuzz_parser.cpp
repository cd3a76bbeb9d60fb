// Random lines through StripQuotes, CutDbcs and ParseMaterialLine, checking the properties that
// must hold for any input. Fixed seeds, so a failure repeats; the failing input is printed in hex.
//
//   fuzz_parser [inputs-per-seed]
//
// Built with CHONGMA_LIBFUZZER the same checks serve as a libFuzzer target.

#include "text/CodePage.h"
#include "import/MaterialParser.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace chongma;

namespace {

QByteArray g_input; // the input under test, printed when a check fails

[[noreturn]] void fail(const char *what, int line)
{
    std::fprintf(stderr, "fuzz_parser: check failed: %s (line %d)\ninput (hex): %s\n", what, line,
                 g_input.toHex().constData());
    std::abort();
}

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond))                                                                               \
            fail(#cond, __LINE__);                                                                 \
    } while (false)

bool isBlankByte(char c)
{
    return static_cast<unsigned char>(c) <= 0x20;
}

bool isLead(char c)
{
    return isDbcsLeadByte(static_cast<unsigned char>(c));
}

// Walks `text` pairing each lead byte with the byte after it; true when it ends on a lead byte
// whose second byte is missing.
bool endsOnLoneLead(const QByteArray &text)
{
    bool pending = false;
    for (char c : text)
        pending = pending ? false : isLead(c);
    return pending;
}

std::string withoutQuoteBytes(const QByteArray &text)
{
    std::string out;
    out.reserve(size_t(text.size()));
    for (char c : text)
        if (c != '"' && c != '\'' && c != '`')
            out += c;
    return out;
}

void checkStripQuotes(const QByteArray &in, const QByteArray &out)
{
    CHECK(!out.contains('"'));
    CHECK(!out.contains('\''));
    bool pending = false;
    for (char c : out) {
        if (pending) {
            pending = false; // second byte: a 0x60 here is part of its character
            continue;
        }
        CHECK(c != '`');
        pending = isLead(c);
    }
    // Only quote bytes went; everything else is there in order.
    CHECK(withoutQuoteBytes(out) == withoutQuoteBytes(in));
}

void checkCutDbcs(const QByteArray &text, int n)
{
    const QByteArray cut = CutDbcs(text, n);
    CHECK(text.startsWith(cut));
    if (n <= 0) {
        CHECK(cut.isEmpty());
        return;
    }
    CHECK(cut.size() <= n);
    if (text.size() < 2) {
        CHECK(cut == text.left(n));
        return;
    }
    // At most the one lead byte of a split character is dropped, and nothing is left dangling.
    CHECK(cut.size() >= qMin<qsizetype>(n, text.size()) - 1);
    CHECK(!endsOnLoneLead(cut));
}

bool hasTabOrSpace(const QByteArray &field)
{
    return field.contains(' ') || field.contains('\t');
}

// How many of Code, MNo, IntValue, Price, PubDate the parse stored before stopping.
int fieldsRead(ParseReason reason)
{
    switch (reason) {
    case ParseReason::TooShort:
    case ParseReason::NoSpaceInLine:
        return 0;
    case ParseReason::NoSpaceAfterCode:
        return 1;
    case ParseReason::NoSpaceAfterMNo:
    case ParseReason::BadInteger:
        return 2;
    case ParseReason::NoSpaceAfterInteger:
        return 3;
    case ParseReason::NoBracketAfterPrice:
        return 4;
    case ParseReason::NoMarker:
        return 5;
    case ParseReason::None:
        return 7;
    case ParseReason::TooLong: // the import run's, never the parser's
        break;
    }
    fail("unknown reason", __LINE__);
}

std::array<long, 9> g_reasonCount{};
TMaterialRec g_rec; // kept across inputs: every parse must reset what it does not set

void checkParse(const QByteArray &line, bool quotesStripped)
{
    QByteArray work = line;
    auto reason = static_cast<ParseReason>(-1);
    const bool accepted = ParseMaterialLine(g_rec, work, &reason);
    const int idx = static_cast<int>(reason);
    CHECK(idx >= 0 && idx < int(g_reasonCount.size()));
    ++g_reasonCount[static_cast<size_t>(idx)];
    CHECK(accepted == (reason == ParseReason::None));
    CHECK((line.size() < 10) == (reason == ParseReason::TooShort));

    const TMaterialRec &r = g_rec;
    CHECK(r.Code.size() <= 20);
    CHECK(r.MNo.size() <= 30);
    CHECK(r.Price.size() <= 50);
    CHECK(r.PubDate.size() <= 48); // 50 with its two outer bytes
    CHECK(r.Name.size() <= 100);
    CHECK(r.SupName.size() <= 48);
    CHECK(!hasTabOrSpace(r.Code) && !hasTabOrSpace(r.MNo) && !hasTabOrSpace(r.Price));
    CHECK(!r.PubDate.bytes().contains('\t') && !r.Name.bytes().contains('\t')
          && !r.SupName.bytes().contains('\t'));
    CHECK(r.Name.isEmpty() || !isBlankByte(r.Name.bytes().front()));
    // A name the cut to 100 bytes left alone (the cut keeps 99 or 100) is trimmed at its end too.
    CHECK(r.Name.size() >= 99 || r.Name.isEmpty() || !isBlankByte(r.Name.bytes().back()));
    CHECK(r.SupName.isEmpty()
          || (!isBlankByte(r.SupName.bytes().front()) && !isBlankByte(r.SupName.bytes().back())));

    // Fields after the one that stopped the parse keep their reset values.
    const int read = fieldsRead(reason);
    if (read < 1)
        CHECK(r.Code.isEmpty());
    if (read < 2)
        CHECK(r.MNo.isEmpty());
    if (read < 3)
        CHECK(r.IntValue == 0);
    if (read < 4)
        CHECK(r.Price == QByteArray("0.0"));
    if (read < 5)
        CHECK(r.PubDate.isEmpty());
    if (!accepted)
        CHECK(r.Name.isEmpty() && r.SupName.isEmpty());

    const QByteArray sql = BuildInsertSQL(r);
    CHECK(sql.startsWith("insert into BD_Material(") && sql.endsWith("'); "));
    if (quotesStripped)
        CHECK(sql.count('\'') == 12); // no value can break out of its quotes

    if (!quotesStripped)
        return;
    // Same outcome without a reason pointer and from a fresh record.
    TMaterialRec fresh;
    QByteArray again = line;
    CHECK(ParseMaterialLine(fresh, again) == accepted);
    CHECK(fresh.Code == r.Code && fresh.MNo == r.MNo && fresh.IntValue == r.IntValue
          && fresh.Price == r.Price && fresh.PubDate == r.PubDate && fresh.Name == r.Name
          && fresh.SupName == r.SupName);
}

void checkAll(const QByteArray &input, int cutAt)
{
    g_input = input;
    const QByteArray stripped = StripQuotes(input);
    checkStripQuotes(input, stripped);
    checkCutDbcs(input, cutAt);
    checkCutDbcs(stripped, int(qMin<qsizetype>(100, stripped.size())));
    if (stripped.size() != input.size())
        checkParse(input, false);
    checkParse(stripped, true);
}

#ifndef CHONGMA_LIBFUZZER

class Generator
{
public:
    explicit Generator(std::uint64_t seed) : m_state(seed) {}

    int below(int n) { return int(next() % std::uint64_t(n)); }
    bool chance(int percent) { return below(100) < percent; }
    char byteIn(int lo, int hi) { return char(lo + below(hi - lo + 1)); }

    QByteArray line()
    {
        std::string out;
        switch (below(10)) {
        case 0:
            out = randomBytes(below(40));
            break;
        case 1:
        case 2:
        case 3:
            out = soup();
            break;
        default:
            out = mutate(structured());
        }
        return QByteArray::fromStdString(out);
    }

private:
    std::string randomBytes(int n)
    {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += char(below(256));
        return out;
    }

    // A double-byte character, sometimes with 0x60 or a lead-range byte as its second byte.
    std::string gbkChar()
    {
        std::string out(1, byteIn(0x81, 0xFE));
        switch (below(4)) {
        case 0:
            out += '`';
            break;
        case 1:
            out += byteIn(0x81, 0xFE);
            break;
        default:
            out += byteIn(0x40, 0xFE);
        }
        return out;
    }

    std::string piece()
    {
        static const char *const pieces[] = {
            " ", "  ", "\t", "[", "]", "] ", "[!]", "[!] ", "[!", "\"", "'", "`", "$", "x", "X",
            "0x", "-", "+", ".", "\r\n", "1", "23", "9", "a", "Z", "2147483648", "$FFFFFFFF",
        };
        const int k = below(int(std::size(pieces)) + 5);
        if (k < int(std::size(pieces)))
            return pieces[k];
        switch (k - int(std::size(pieces))) {
        case 0:
            return gbkChar();
        case 1:
            return std::string(1, byteIn(0x81, 0xFE)); // lone lead byte
        case 2:
            return std::string(1, char(below(0x21))); // blank or control byte, NUL included
        case 3:
            return std::string(1, byteIn('0', '9'));
        default:
            return std::string(1, char(below(256)));
        }
    }

    std::string soup()
    {
        std::string out;
        const int n = below(chance(10) ? 120 : 30);
        for (int i = 0; i < n; ++i)
            out += piece();
        return out;
    }

    std::string sep()
    {
        if (chance(5))
            return {};
        std::string out;
        const int n = 1 + (chance(20) ? below(4) : 0);
        for (int i = 0; i < n; ++i)
            out += chance(70) ? ' ' : '\t';
        return out;
    }

    std::string word(int maxLen, bool spaces)
    {
        std::string out;
        const size_t n = size_t(below(maxLen + 1));
        while (out.size() < n) {
            const int k = below(10);
            if (k < 5)
                out += byteIn('0', '9');
            else if (k < 7)
                out += gbkChar();
            else if (k == 7 && spaces)
                out += ' ';
            else if (k == 8 && chance(30))
                out += chance(50) ? '\'' : '"';
            else
                out += byteIn('A', 'z');
        }
        return out;
    }

    std::string integer()
    {
        static const char *const prefixes[] = {"+", "-", "$", "x", "X", "0x", "0X", "-$", "+0x"};
        std::string out = chance(60) ? "" : prefixes[below(int(std::size(prefixes)))];
        const bool hex = out.find_first_of("$xX") != std::string::npos;
        const int digitsWanted = chance(10) ? below(20) : 1 + below(8);
        for (int i = 0; i < digitsWanted; ++i)
            out += hex ? "0123456789abcdefABCDEF"[below(22)] : byteIn('0', '9');
        if (chance(5))
            out += piece();
        return out;
    }

    // Seven fields and the marker, each part now and then too long, empty, quoted or missing.
    std::string structured()
    {
        // One draw per statement: compilers evaluate the operands of + in different orders, and
        // a seed must give the same lines with each of them.
        std::string out;
        if (chance(5))
            out += chance(50) ? "\"" : " ";
        out += word(25, false);
        out += sep();
        out += word(35, false);
        out += sep();
        out += integer();
        out += sep();
        out += word(55, false);
        out += sep();
        if (chance(90))
            out += '[';
        out += word(60, true);
        out += ']';
        out += sep();
        out += word(chance(20) ? 220 : 40, true);
        out += sep();
        if (chance(95))
            out += "[!]";
        if (chance(50))
            out += chance(80) ? std::string(" ") : std::string(size_t(below(60)), ' ');
        out += word(70, true);
        if (chance(10))
            out += chance(50) ? "\r\n" : "  \t";
        return out;
    }

    std::string mutate(std::string text)
    {
        const int edits = chance(60) ? 0 : 1 + below(3);
        for (int i = 0; i < edits; ++i) {
            const size_t at = text.empty() ? 0 : size_t(below(int(text.size())));
            switch (below(3)) {
            case 0:
                text.insert(at, piece());
                break;
            case 1:
                if (!text.empty())
                    text.erase(at, size_t(1 + below(4)));
                break;
            default:
                if (!text.empty())
                    text[at] = char(below(256));
            }
        }
        return text;
    }

    // splitmix64: cheap, and the same sequence on every platform
    std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    std::uint64_t m_state;
};

#endif

} // namespace

#ifdef CHONGMA_LIBFUZZER

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    checkAll(input, size == 0 ? 0 : int(data[0] % (size + 1)));
    return 0;
}

#else

int main(int argc, char **argv)
{
    const long perSeed = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 40000;
    const std::uint64_t seeds[] = {1, 2, 3, 936, 20080418};

    long total = 0;
    for (std::uint64_t seed : seeds) {
        Generator gen(seed);
        for (long i = 0; i < perSeed; ++i) {
            const QByteArray input = gen.line();
            // n mostly within the text, as callers pass it; now and then past its end.
            const int size = int(input.size());
            const int cutAt = gen.chance(5) ? size + gen.below(4) : gen.below(size + 3) - 2;
            checkAll(input, cutAt);
            ++total;
        }
    }

    std::printf("fuzz_parser: %ld inputs, parse outcomes:", total);
    for (size_t i = 0; i < g_reasonCount.size(); ++i)
        std::printf(" %s=%ld", qPrintable(parseReasonText(static_cast<ParseReason>(i))),
                    g_reasonCount[i]);
    std::printf("\n");

    // A generator that never reaches a branch would pass without testing it.
    if (perSeed >= 10000) {
        for (size_t i = 0; i < g_reasonCount.size(); ++i) {
            if (g_reasonCount[i] < 100) {
                std::fprintf(stderr, "fuzz_parser: outcome \"%s\" reached only %ld times\n",
                             qPrintable(parseReasonText(static_cast<ParseReason>(i))),
                             g_reasonCount[i]);
                return 1;
            }
        }
    }
    return 0;
}

#endif
