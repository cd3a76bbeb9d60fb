#pragma once

// One line of the material source file, in code page 936 bytes, turned into a record and an
// insert statement for BD_Material. All lengths are byte counts.

#include "text/LimitedText.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace chongma {

// The parsed material record. An ordinary value: the caller owns it and passes it to every parse.
struct TMaterialRec
{
    static constexpr qsizetype kNameStoredMax = 100; // the parser never stores more in Name

    LimitedText<20> Code;  // barcode, BD_MCode
    LimitedText<30> MNo;   // BD_MNo
    LimitedText<158> Name; // BD_MName
    qint32 IntValue = 0;   // must parse, never written
    LimitedText<48> SupName; // Pur_SupName
    LimitedText<50> PubDate; // BD_MPUBDATE, without its brackets
    LimitedText<50> Price = QByteArrayLiteral("0.0"); // BD_MPRICE, kept as text (a literal: no allocation a record)

    void reset();
};

// Why ParseMaterialLine gave up, named after the last field it read (None: the line was accepted).
enum class ParseReason {
    None,
    TooShort,            // fewer than 10 bytes
    NoSpaceInLine,       // nothing ends the code
    NoSpaceAfterCode,    // nothing ends the material number
    NoSpaceAfterMNo,     // nothing ends the integer
    BadInteger,          // the third field is not a 32-bit integer
    NoSpaceAfterInteger, // nothing ends the price
    NoBracketAfterPrice, // no "] " ends the date
    NoMarker,            // no "[!]" ends the name
    TooLong,             // longer than the source reader holds: never parsed (the run's, not the parser's)
};

enum class ReasonLanguage { English, Chinese };

// A short description of `reason` for preview output.
QString parseReasonText(ParseReason reason, ReasonLanguage language = ReasonLanguage::English);

// Removes bytes 0x00..0x20 from both ends.
QByteArray trim(const QByteArray &text);

// A third field as the parser accepts it: [+|-]digits within the signed 32-bit range, or,
// unsigned, $hex, xhex, Xhex, 0xhex or 0Xhex fitting in 32 bits (read as signed). Nothing else.
std::optional<qint32> parseInt32(const QByteArray &token);

// `line` without any double quote, single quote or standalone backquote; a backquote that is
// the second byte of a double-byte character stays.
QByteArray StripQuotes(const QByteArray &line);

// `text` cut to at most n bytes without splitting a double-byte character at the cut.
// Meant for n <= text.size(); a larger n counts as text.size().
QByteArray CutDbcs(const QByteArray &text, int n);

// The code a parse of `line` takes (its first field as ParseMaterialLine cuts it), or the line's
// start where it has no field boundary; the same bytes for every line whose parse yields the same
// code, which lets lines be shared out by code before they are parsed. A view into `line`.
QByteArrayView CodeOfLine(QByteArrayView line);

// Parses a line cleaned by StripQuotes into `rec` and returns true when all fields were found.
// `rec` is reset first; after a false result it keeps the fields read before the failing one.
// `line` is consumed while parsing: pass a copy.
bool ParseMaterialLine(TMaterialRec &rec, QByteArray &line, ParseReason *reason = nullptr);

// The insert statement for `rec`, values unescaped (StripQuotes removed every quote), ending in
// "; ".
QByteArray BuildInsertSQL(const TMaterialRec &rec);

} // namespace chongma
