#include "import/MaterialParser.h"

#include <QSet>
#include <QStringEncoder>
#include <QTest>

#include <limits>

using namespace chongma;

namespace {

// GBK bytes of the Chinese texts used below (checked against the GBK encoder in gbkConstants).
const QByteArray kName = "\xb2\xe2\xca\xd4\xb2\xc4\xc1\xcf\xc3\xfb\xb3\xc6"; // 测试材料名称
const QByteArray kSup = "\xc4\xb3\xb9\xa9\xd3\xa6\xc9\xcc";                 // 某供应商
const QByteArray kCe = "\xb2\xe2";                                            // 测
const QByteArray kTrail60 = "\xb1\x60";                                       // 盽: second byte 0x60

const QByteArray kExampleLine =
    "1234567890123 A-1001 5 12.50 [2008-04-18] " + kName + " [!] " + kSup;
const QByteArray kExampleSql =
    "insert into BD_Material(BD_MCode, BD_MNo, BD_MName, BD_MPRICE, Pur_SupName, BD_MPUBDATE) "
    "values('1234567890123', 'A-1001', '" + kName + "', '12.50', '" + kSup + "', '2008-04-18'); ";

QByteArray rep(const QByteArray &unit, int times)
{
    return unit.repeated(times);
}

QByteArray digits(int n)
{
    QByteArray out;
    for (int i = 0; i < n; ++i)
        out += char('0' + i % 10);
    return out;
}

} // namespace

class TestParser : public QObject
{
    Q_OBJECT

private slots:
    void gbkConstants_data();
    void gbkConstants();
    void parseInt32_data();
    void parseInt32();
    void cutDbcs_data();
    void cutDbcs();
    void stripQuotes_data();
    void stripQuotes();
    void parseLine_data();
    void parseLine();
    void cleanParseBuild_data();
    void cleanParseBuild();
    void fieldCapacities_data();
    void fieldCapacities();
    void resetValues();
    void reasonTexts();
};

void TestParser::gbkConstants_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("name") << QStringLiteral("测试材料名称") << kName;
    QTest::newRow("supplier") << QStringLiteral("某供应商") << kSup;
    QTest::newRow("ce") << QStringLiteral("测") << kCe;
    QTest::newRow("trail 0x60") << QStringLiteral("盽") << kTrail60;
}

void TestParser::gbkConstants()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QStringEncoder gbk("GBK");
    QVERIFY2(gbk.isValid(), "Qt has no GBK encoder (built without ICU?)");
    const QByteArray encoded = gbk(text);
    QVERIFY(!gbk.hasError());
    QCOMPARE(encoded, bytes);
}

void TestParser::parseInt32_data()
{
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");

    const int min = std::numeric_limits<qint32>::min();
    const int max = std::numeric_limits<qint32>::max();

    QTest::newRow("digit") << QByteArray("5") << true << 5;
    QTest::newRow("zero") << QByteArray("0") << true << 0;
    QTest::newRow("plus") << QByteArray("+5") << true << 5;
    QTest::newRow("minus") << QByteArray("-5") << true << -5;
    QTest::newRow("minus zero") << QByteArray("-0") << true << 0;
    QTest::newRow("leading zeros") << QByteArray("007") << true << 7;
    QTest::newRow("max") << QByteArray("2147483647") << true << max;
    QTest::newRow("min") << QByteArray("-2147483648") << true << min;
    QTest::newRow("max + 1") << QByteArray("2147483648") << false << 0;
    QTest::newRow("+max + 1") << QByteArray("+2147483648") << false << 0;
    QTest::newRow("min - 1") << QByteArray("-2147483649") << false << 0;
    QTest::newRow("wraps 64 bits") << QByteArray("18446744073709551621") << false << 0;
    QTest::newRow("long zero run") << QByteArray("0000000000000000000042") << true << 42;
    QTest::newRow("dollar") << QByteArray("$1F") << true << 31;
    QTest::newRow("x") << QByteArray("x1F") << true << 31;
    QTest::newRow("X lower digits") << QByteArray("X1f") << true << 31;
    QTest::newRow("0x") << QByteArray("0x1F") << true << 31;
    QTest::newRow("0X") << QByteArray("0X1f") << true << 31;
    QTest::newRow("hex all ones") << QByteArray("$FFFFFFFF") << true << -1;
    QTest::newRow("hex max") << QByteArray("0x7fffffff") << true << max;
    QTest::newRow("hex sign bit") << QByteArray("x80000000") << true << min;
    QTest::newRow("hex leading zeros") << QByteArray("$00000000001F") << true << 31;
    QTest::newRow("hex 33 bits") << QByteArray("$100000000") << false << 0;
    QTest::newRow("minus dollar") << QByteArray("-$1F") << false << 0;
    QTest::newRow("plus dollar") << QByteArray("+$1F") << false << 0;
    QTest::newRow("minus 0x") << QByteArray("-0x1F") << false << 0;
    QTest::newRow("minus x") << QByteArray("-x1F") << false << 0;
    QTest::newRow("dollar minus") << QByteArray("$-1") << false << 0;
    QTest::newRow("dollar alone") << QByteArray("$") << false << 0;
    QTest::newRow("x alone") << QByteArray("x") << false << 0;
    QTest::newRow("0x alone") << QByteArray("0x") << false << 0;
    QTest::newRow("dollar then 0x") << QByteArray("$0x1F") << false << 0;
    QTest::newRow("00x") << QByteArray("00x1F") << false << 0;
    QTest::newRow("bad hex digit") << QByteArray("$1G") << false << 0;
    QTest::newRow("empty") << QByteArray() << false << 0;
    QTest::newRow("sign alone") << QByteArray("-") << false << 0;
    QTest::newRow("two signs") << QByteArray("--1") << false << 0;
    QTest::newRow("trailing letter") << QByteArray("12a") << false << 0;
    QTest::newRow("decimal point") << QByteArray("1.5") << false << 0;
    QTest::newRow("exponent") << QByteArray("1e3") << false << 0;
    QTest::newRow("leading blank") << QByteArray(" 1") << false << 0;
    QTest::newRow("trailing NUL") << QByteArray("1\0", 2) << false << 0;
    QTest::newRow("full-width digit") << QByteArray("\xa3\xb1") << false << 0;
}

void TestParser::parseInt32()
{
    QFETCH(QByteArray, token);
    QFETCH(bool, ok);
    QFETCH(int, value);
    const std::optional<qint32> got = chongma::parseInt32(token);
    QCOMPARE(got.has_value(), ok);
    if (ok)
        QCOMPARE(*got, value);
}

void TestParser::cutDbcs_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("n");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray ceShi = "\xb2\xe2\xca\xd4"; // 测试
    QTest::newRow("empty, 0") << QByteArray() << 0 << QByteArray();
    QTest::newRow("n 0") << QByteArray("abc") << 0 << QByteArray();
    QTest::newRow("n negative") << QByteArray("abc") << -3 << QByteArray();
    QTest::newRow("one byte whole") << QByteArray("a") << 1 << QByteArray("a");
    // Under two bytes nothing is tested: a lone lead byte stays.
    QTest::newRow("lone lead, 1") << QByteArray("\x81") << 1 << QByteArray("\x81");
    QTest::newRow("ascii") << QByteArray("abcd") << 2 << QByteArray("ab");
    QTest::newRow("lead at 1") << ceShi << 1 << QByteArray();
    QTest::newRow("trail at 2") << ceShi << 2 << kCe;
    QTest::newRow("lead at 3") << ceShi << 3 << kCe;
    QTest::newRow("whole") << ceShi << 4 << ceShi;
    QTest::newRow("lead after ascii") << QByteArray("a" + kCe) << 2 << QByteArray("a");
    // Second bytes in 0x81..0xFE look like lead bytes but are never tested.
    QTest::newRow("trail in lead range, 2") << QByteArray("\xb2\xb2\xb2\xe2") << 2 << QByteArray("\xb2\xb2");
    QTest::newRow("trail in lead range, 3") << QByteArray("\xb2\xb2\xb2\xe2") << 3 << QByteArray("\xb2\xb2");
    QTest::newRow("trail 0x60") << QByteArray(kTrail60 + "a") << 2 << kTrail60;
    QTest::newRow("lone lead at end") << QByteArray("ab\x81") << 3 << QByteArray("ab");
    QTest::newRow("0x80 not lead") << QByteArray("\x80\x80") << 1 << QByteArray("\x80");
    QTest::newRow("0x81 lead") << QByteArray("\x81\x40") << 1 << QByteArray();
    QTest::newRow("0xFE lead") << QByteArray("\xfe\x40") << 1 << QByteArray();
    QTest::newRow("0xFF not lead") << QByteArray("\xff\xff") << 1 << QByteArray("\xff");
    QTest::newRow("lead at 100") << QByteArray(rep("a", 99) + kCe) << 100 << rep("a", 99);
    QTest::newRow("trail at 100") << QByteArray(rep("a", 98) + kCe + "x") << 100
                                  << QByteArray(rep("a", 98) + kCe);
    QTest::newRow("pairs, even n") << rep(kCe, 60) << 100 << rep(kCe, 50);
    QTest::newRow("pairs shifted, even n") << QByteArray("a" + rep(kCe, 60)) << 100
                                           << QByteArray("a" + rep(kCe, 49));
}

void TestParser::cutDbcs()
{
    QFETCH(QByteArray, text);
    QFETCH(int, n);
    QFETCH(QByteArray, expected);
    QCOMPARE(CutDbcs(text, n), expected);
}

void TestParser::stripQuotes_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("only quotes") << QByteArray("\"'`\"\"''``") << QByteArray();
    QTest::newRow("between letters") << QByteArray("a\"b'c`d") << QByteArray("abcd");
    QTest::newRow("blanks stay") << QByteArray(" \"a\tb\" ") << QByteArray(" a\tb ");
    QTest::newRow("no quotes") << QByteArray(kExampleLine) << kExampleLine;
    QTest::newRow("0x60 second byte") << kTrail60 << kTrail60;
    QTest::newRow("backquote after 0x60 char") << QByteArray(kTrail60 + "`") << kTrail60;
    QTest::newRow("backquotes around 0x60 char") << QByteArray("`" + kTrail60 + "`") << kTrail60;
    QTest::newRow("backquote after gbk char") << QByteArray(kCe + "`") << kCe;
    // 0xB1 here is the second byte of 0xB2B1, so the 0x60 after it stands alone.
    QTest::newRow("lead-range second byte") << QByteArray("\xb2\xb1\x60") << QByteArray("\xb2\xb1");
    QTest::newRow("lone lead at end") << QByteArray("ab\x81") << QByteArray("ab\x81");
    // A quote is never a second byte, even after a stray lead byte.
    QTest::newRow("stray lead, double quote") << QByteArray("\x81\"x") << QByteArray("\x81x");
    QTest::newRow("stray lead, single quote") << QByteArray("\x81'x") << QByteArray("\x81x");
    // Double quotes go first; the lead byte then pairs with the backquote.
    QTest::newRow("removal order") << QByteArray("\x81\"`") << QByteArray("\x81`");
    QTest::newRow("quoted gbk name") << QByteArray("'" + kName + "'") << kName;
}

void TestParser::stripQuotes()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, expected);
    QCOMPARE(StripQuotes(line), expected);
}

void TestParser::parseLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<ParseReason>("reason");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QByteArray>("mno");
    QTest::addColumn<int>("intValue");
    QTest::addColumn<QByteArray>("price");
    QTest::addColumn<QByteArray>("pubDate");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("supName");

    const auto ok = [](const char *tag, const QByteArray &line, const QByteArray &code,
                       const QByteArray &mno, int value, const QByteArray &price,
                       const QByteArray &date, const QByteArray &name, const QByteArray &sup) {
        QTest::newRow(tag) << line << true << ParseReason::None << code << mno << value << price
                           << date << name << sup;
    };
    const auto rejected = [](const char *tag, const QByteArray &line, ParseReason reason,
                             const QByteArray &code = {}, const QByteArray &mno = {},
                             int value = 0, const QByteArray &price = "0.0",
                             const QByteArray &date = {}) {
        QTest::newRow(tag) << line << false << reason << code << mno << value << price << date
                           << QByteArray() << QByteArray();
    };
    const auto example = [&ok](const char *tag, const QByteArray &line) {
        ok(tag, line, "1234567890123", "A-1001", 5, "12.50", "2008-04-18", kName, kSup);
    };

    example("worked example", kExampleLine);
    example("tabs", "1234567890123\tA-1001\t5\t12.50\t[2008-04-18]\t" + kName + "\t[!]\t" + kSup);
    example("several blanks",
            "1234567890123   A-1001 \t 5    12.50   [2008-04-18]    " + kName + "  \t [!]  " + kSup
                + "   ");
    example("CR LF end", kExampleLine + "\r\n");

    // Length and the first two fields.
    rejected("9 bytes", "1 2 3 4 5", ParseReason::TooShort);
    rejected("empty", "", ParseReason::TooShort);
    rejected("exactly 10 bytes is read", "1 2 3 4 ]x", ParseReason::NoBracketAfterPrice, "1", "2",
             3, "4");
    ok("shortest, 13 bytes", "a b 1 p ] [!]", "a", "b", 1, "p", "", "", "");
    ok("leading space, 12 bytes", " a 1 p ] [!]", "", "a", 1, "p", "", "", "");
    rejected("no space", "abcdefghijkl", ParseReason::NoSpaceInLine);
    rejected("no space after code", "1234567890123 A-1001  \t ", ParseReason::NoSpaceAfterCode,
             "1234567890123");
    rejected("no space after material number", "1234567890123 A-1001 5",
             ParseReason::NoSpaceAfterMNo, "1234567890123", "A-1001");
    rejected("leading space shifts fields", " 1234567890123 A-1001 5 12.50 [d] n [!] s",
             ParseReason::BadInteger, "", "1234567890123");
    ok("code of 20 bytes", "12345678901234567890 M 5 1 [d] n [!] s", "12345678901234567890", "M",
       5, "1", "d", "n", "s");
    rejected("code of 25 bytes", "1234567890123456789012345 A-1001 5 12.50 [d] n [!] s",
             ParseReason::BadInteger, "12345678901234567890", "12345");
    ok("material number of 35 bytes", "C " + rep("M", 30) + "12345 7 9.9 [d] n [!] s", "C",
       rep("M", 30), 12345, "7", ".9 [d", "n", "s");
    ok("blank bytes below space", "C \x01\x02 M 5 1 [d] n [!] s\x1f", "C", "M", 5, "1", "d", "n", "s");
    ok("NUL is blank", QByteArray("C \0M 5 1 [d] n [!] s", 20), "C", "M", 5, "1", "d", "n", "s");

    // The integer.
    rejected("integer 12a", "1234567890123 A-1001 12a 12.50 [d] n [!] s", ParseReason::BadInteger,
             "1234567890123", "A-1001");
    rejected("integer 1.5", "1234567890123 A-1001 1.5 12.50 [d] n [!] s", ParseReason::BadInteger,
             "1234567890123", "A-1001");
    rejected("integer -$1F", "C M -$1F 1 [d] n [!] s", ParseReason::BadInteger, "C", "M");
    rejected("integer 2147483648", "C M 2147483648 1 [d] n [!] s", ParseReason::BadInteger, "C",
             "M");
    ok("integer $1F", "C M $1F 1 [d] n [!] s", "C", "M", 31, "1", "d", "n", "s");
    ok("integer x1F", "C M x1F 1 [d] n [!] s", "C", "M", 31, "1", "d", "n", "s");
    ok("integer 0x1F", "C M 0x1F 1 [d] n [!] s", "C", "M", 31, "1", "d", "n", "s");
    ok("integer -2147483648", "C M -2147483648 1 [d] n [!] s", "C", "M",
       std::numeric_limits<qint32>::min(), "1", "d", "n", "s");
    ok("long integer token goes whole", "C M " + rep("0", 60) + "7 1 [d] n [!] s", "C", "M", 7,
       "1", "d", "n", "s");
    rejected("no space after integer", "1234567890123 A-1001 5 12.50  ",
             ParseReason::NoSpaceAfterInteger, "1234567890123", "A-1001", 5);

    // Price and bracketed field.
    ok("price not checked", "C M 5 abc [d] n [!] s", "C", "M", 5, "abc", "d", "n", "s");
    ok("price of 55 bytes", "C M 5 " + rep("p", 50) + "12345 [2008-04-18] n [!] s", "C", "M", 5,
       rep("p", 50), "2345 [2008-04-18", "n", "s");
    rejected("no bracket after price", "1234567890123 A-1001 5 12.50 [2008-04-18]",
             ParseReason::NoBracketAfterPrice, "1234567890123", "A-1001", 5, "12.50");
    rejected("bracket then trailing tab", "C M 5 12.50 [2008-04-18]\t",
             ParseReason::NoBracketAfterPrice, "C", "M", 5, "12.50");
    ok("empty brackets", "C M 5 1 [] n [!] s", "C", "M", 5, "1", "", "n", "s");
    ok("one-byte date", "C M 5 1 [x] n [!] s", "C", "M", 5, "1", "x", "n", "s");
    ok("date with spaces", "C M 5 1 [2008 04 18] n [!] s", "C", "M", 5, "1", "2008 04 18", "n",
       "s");
    ok("date ends at first bracket-space", "C M 5 1 [a]b] c] n [!] s", "C", "M", 5, "1", "a]b",
       "c] n", "s");
    ok("date without opening bracket", "C M 5 1 2008-04-18] n [!] s", "C", "M", 5, "1",
       "008-04-18", "n", "s");
    ok("date over 50 bytes", "C M 5 1 [" + rep("d", 60) + "] name [!] s", "C", "M", 5, "1",
       rep("d", 48), rep("d", 11) + "] name", "s");
    rejected("marker taken into the date", "C M 5 1.0 [2008]name [!] sup", ParseReason::NoMarker,
             "C", "M", 5, "1.0", "2008]name [!");

    // Name and marker.
    rejected("no marker", "1234567890123 A-1001 5 12.50 [2008-04-18] name sup",
             ParseReason::NoMarker, "1234567890123", "A-1001", 5, "12.50", "2008-04-18");
    rejected("broken marker", "C M 5 1 [d] name [! ] s", ParseReason::NoMarker, "C", "M", 5, "1",
             "d");
    ok("empty name", "C M 5 1 [2008-04-18] \t  [!] sup", "C", "M", 5, "1", "2008-04-18", "", "sup");
    ok("name with spaces", "C M 5 1 [d]   big  name \t [!] s", "C", "M", 5, "1", "d", "big  name",
       "s");
    ok("name of 100 bytes", "C M 5 1 [d] " + rep("n", 100) + " [!] s", "C", "M", 5, "1", "d",
       rep("n", 100), "s");
    ok("name of 100 bytes, lead byte last", "C M 5 1 [d] " + rep("n", 99) + "\xb2 [!] s", "C", "M", 5,
       "1", "d", rep("n", 99) + "\xb2", "s");
    ok("name of 101 bytes", "C M 5 1 [d] " + rep("n", 101) + " [!] s", "C", "M", 5, "1", "d",
       rep("n", 100), "s");
    ok("name, lead byte at 100", "C M 5 1 [d] " + rep("n", 99) + kCe + " [!] s", "C", "M", 5, "1",
       "d", rep("n", 99), "s");
    ok("name, trail byte at 100", "C M 5 1 [d] " + rep("n", 98) + kCe + "x [!] s", "C", "M", 5,
       "1", "d", rep("n", 98) + kCe, "s");
    ok("name of 200 bytes", "C M 5 1 [d] " + rep(kCe, 100) + " [!] s", "C", "M", 5, "1", "d",
       rep(kCe, 50), "s");
    ok("name of 201 bytes", "C M 5 1 [d] n" + rep(kCe, 100) + " [!] s", "C", "M", 5, "1", "d",
       "n" + rep(kCe, 49), "s");

    // Supplier.
    ok("line ends with marker", "C M 5 1 [d] name [!]", "C", "M", 5, "1", "d", "name", "");
    ok("marker then blanks", "C M 5 1 [d] name [!]  \t ", "C", "M", 5, "1", "d", "name", "");
    ok("supplier right after marker", "C M 5 1 [d] n [!]sup", "C", "M", 5, "1", "d", "n", "up");
    ok("gbk supplier right after marker", "C M 5 1 [d] n [!]" + kSup, "C", "M", 5, "1", "d", "n",
       kSup.mid(1));
    ok("tab after marker", "C M 5 1 [d] n [!]\t" + kSup, "C", "M", 5, "1", "d", "n", kSup);
    ok("supplier with spaces", "C M 5 1 [d] n [!] a b  c", "C", "M", 5, "1", "d", "n", "a b  c");
    ok("supplier of 49 bytes", "C M 5 1 [d] n [!] " + digits(49), "C", "M", 5, "1", "d", "n",
       digits(48));
    ok("supplier trimmed after the cut", "C M 5 1 [d] n [!] " + rep("a", 47) + " b", "C", "M", 5,
       "1", "d", "n", rep("a", 47));
    ok("blanks after marker count", "C M 5 1 [d] n [!]" + rep(" ", 10) + digits(60), "C", "M", 5,
       "1", "d", "n", digits(39));
    ok("supplier beyond 48 blanks", "C M 5 1 [d] n [!]" + rep(" ", 50) + "abc", "C", "M", 5, "1",
       "d", "n", "");
}

void TestParser::parseLine()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, accepted);
    QFETCH(ParseReason, reason);

    // Start from a full record: every field must be reset or overwritten.
    TMaterialRec rec;
    QByteArray example = kExampleLine;
    QVERIFY(ParseMaterialLine(rec, example));

    QByteArray work = line;
    auto gotReason = static_cast<ParseReason>(-1); // must be overwritten
    QCOMPARE(ParseMaterialLine(rec, work, &gotReason), accepted);
    QCOMPARE(gotReason, reason);

    QTEST(rec.Code.bytes(), "code");
    QTEST(rec.MNo.bytes(), "mno");
    QTEST(int(rec.IntValue), "intValue");
    QTEST(rec.Price.bytes(), "price");
    QTEST(rec.PubDate.bytes(), "pubDate");
    QTEST(rec.Name.bytes(), "name");
    QTEST(rec.SupName.bytes(), "supName");
}

void TestParser::cleanParseBuild_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("sql");

    const QByteArray head = "insert into BD_Material(BD_MCode, BD_MNo, BD_MName, BD_MPRICE, "
                            "Pur_SupName, BD_MPUBDATE) values(";

    QTest::newRow("worked example") << kExampleLine << true << kExampleSql;
    QTest::newRow("quoted fields")
        << QByteArray("\"1234567890123\" 'A-1001' 5 `12.50` [2008-04-18] \"" + kName + "\" [!] '"
                      + kSup + "'")
        << true << kExampleSql;
    QTest::newRow("each field distinct")
        << QByteArray("code mno 1 price [date] name [!] sup") << true
        << QByteArray(head + "'code', 'mno', 'name', 'price', 'sup', 'date'); ");
    QTest::newRow("apostrophes in name and supplier")
        << QByteArray("C M 5 1.0 [d] O'Brien's [!] Smith \"and\" Co") << true
        << QByteArray(head + "'C', 'M', 'OBriens', '1.0', 'Smith and Co', 'd'); ");
    QTest::newRow("0x60 second byte in name")
        << QByteArray("C M 5 1.0 [d] `" + kTrail60 + "` [!] s") << true
        << QByteArray(head + "'C', 'M', '" + kTrail60 + "', '1.0', 's', 'd'); ");
    // A stripped leading quote leaves a space: the code comes out empty and the line fails.
    QTest::newRow("leading quote then space")
        << QByteArray("\" 1234567890123 A-1001 5 12.50 [d] n [!] s") << false
        << QByteArray(head + "'', '1234567890123', '', '0.0', '', ''); ");
    QTest::newRow("rejected, reset record") << QByteArray("short") << false
                                            << QByteArray(head + "'', '', '', '0.0', '', ''); ");
}

void TestParser::cleanParseBuild()
{
    QFETCH(QByteArray, raw);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, sql);

    TMaterialRec rec;
    QByteArray line = StripQuotes(raw);
    QCOMPARE(ParseMaterialLine(rec, line), accepted);
    QCOMPARE(BuildInsertSQL(rec), sql);
}

void TestParser::fieldCapacities_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<int>("capacity");
    QTest::newRow("Code") << QByteArray("Code") << 20;
    QTest::newRow("MNo") << QByteArray("MNo") << 30;
    QTest::newRow("Name") << QByteArray("Name") << 158;
    QTest::newRow("SupName") << QByteArray("SupName") << 48;
    QTest::newRow("PubDate") << QByteArray("PubDate") << 50;
    QTest::newRow("Price") << QByteArray("Price") << 50;
}

void TestParser::fieldCapacities()
{
    QFETCH(QByteArray, field);
    QFETCH(int, capacity);

    const auto store = [&field](TMaterialRec &rec, const QByteArray &value) -> QByteArray {
        if (field == "Code")
            return (rec.Code = value).bytes();
        if (field == "MNo")
            return (rec.MNo = value).bytes();
        if (field == "Name")
            return (rec.Name = value).bytes();
        if (field == "SupName")
            return (rec.SupName = value).bytes();
        if (field == "PubDate")
            return (rec.PubDate = value).bytes();
        return (rec.Price = value).bytes();
    };

    TMaterialRec rec;
    // Odd offset: the cut at an even capacity falls inside a double-byte character and keeps
    // its lead byte, a plain byte cut.
    const QByteArray longValue = "a" + rep(kCe, 200);
    QCOMPARE(store(rec, longValue), longValue.left(capacity));
    QCOMPARE(store(rec, longValue.left(capacity)), longValue.left(capacity));
    QCOMPARE(store(rec, "x"), QByteArray("x"));
}

void TestParser::resetValues()
{
    TMaterialRec rec;
    QByteArray line = kExampleLine;
    QVERIFY(ParseMaterialLine(rec, line));
    rec.reset();
    QCOMPARE(rec.Code.bytes(), QByteArray());
    QCOMPARE(rec.MNo.bytes(), QByteArray());
    QCOMPARE(rec.Name.bytes(), QByteArray());
    QCOMPARE(rec.IntValue, 0);
    QCOMPARE(rec.SupName.bytes(), QByteArray());
    QCOMPARE(rec.PubDate.bytes(), QByteArray());
    QCOMPARE(rec.Price.bytes(), QByteArray("0.0"));
}

void TestParser::reasonTexts()
{
    const ParseReason all[] = {
        ParseReason::None,           ParseReason::TooShort,           ParseReason::NoSpaceInLine,
        ParseReason::NoSpaceAfterCode, ParseReason::NoSpaceAfterMNo,  ParseReason::BadInteger,
        ParseReason::NoSpaceAfterInteger, ParseReason::NoBracketAfterPrice, ParseReason::NoMarker,
        ParseReason::TooLong,
    };
    QSet<QString> english;
    QSet<QString> chinese;
    for (ParseReason r : all) {
        english.insert(parseReasonText(r, ReasonLanguage::English));
        chinese.insert(parseReasonText(r, ReasonLanguage::Chinese));
    }
    // One distinct text per reason in each language, none of them the fallback.
    QCOMPARE(english.size(), int(std::size(all)));
    QCOMPARE(chinese.size(), int(std::size(all)));
    QVERIFY(!english.contains(parseReasonText(static_cast<ParseReason>(-1))));
    QVERIFY(!chinese.contains(parseReasonText(static_cast<ParseReason>(-1), ReasonLanguage::Chinese)));
}

QTEST_APPLESS_MAIN(TestParser)
#include "tst_parser.moc"
