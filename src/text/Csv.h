#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace chongma::csv {

// CSV as PostgreSQL's COPY writes it: fields separated by commas, records by CR LF; a field
// holding a comma, a quote, a line break or blanks at its ends, and the empty text, is quoted
// ("" inside stands for one quote); NULL is an empty field without quotes.
using Field = std::optional<QString>; // nullopt: NULL

// `quote` quotes a field that would not need it, so a reader can tell it was a text.
QByteArray field(const Field &value, bool quote = false);
QByteArray record(const QList<Field> &fields, const QList<bool> &quote = {}); // with its CR LF

struct Table {
    QStringList header;
    QList<QList<Field>> rows;
    QList<QList<bool>> quoted; // per field of `rows`: written between quotes
};

// Parses UTF-8 CSV text (a leading byte-order mark is skipped); the first record is the header.
// Throws Error naming the line of a malformed record (an unclosed quote, text after a closing
// quote, a field count unlike the header's), or the row and column of a field that is not
// valid UTF-8 (never read as something else).
Table parse(const QByteArray &bytes);

} // namespace chongma::csv
