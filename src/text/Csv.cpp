#include "text/Csv.h"

#include "data/Error.h"

namespace chongma::csv {

namespace {

bool needsQuotes(const QString &text)
{
    if (text.isEmpty())
        return true; // "" is the empty text, an empty field is NULL
    if (text.front().isSpace() || text.back().isSpace())
        return true;
    for (const QChar c : text) {
        if (c == u',' || c == u'"' || c == u'\r' || c == u'\n')
            return true;
    }
    return false;
}

} // namespace

QByteArray field(const Field &value)
{
    if (!value)
        return {};
    if (!needsQuotes(*value))
        return value->toUtf8();
    QString quoted = *value;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return '"' + quoted.toUtf8() + '"';
}

QByteArray record(const QList<Field> &fields)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            bytes += ',';
        bytes += field(fields.at(i));
    }
    return bytes + "\r\n";
}

Table parse(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);

    Table table;
    QList<Field> current;
    QString value;
    bool quoted = false;  // the field being read started with a quote
    bool inQuotes = false;
    bool fieldStarted = false;
    int line = 1;
    int recordLine = 1;
    const auto fail = [&](const QString &what) {
        return Error(QStringLiteral("line %1 of the backup: %2").arg(recordLine).arg(what));
    };
    const auto endField = [&] {
        // An empty text that is not null: Qt's drivers bind a null QString as NULL.
        current.append(quoted || !value.isEmpty() ? Field(value.isEmpty() ? QStringLiteral("") : value) : Field());
        value.clear();
        quoted = false;
        fieldStarted = false;
    };
    const auto endRecord = [&] {
        endField();
        if (table.header.isEmpty() && table.rows.isEmpty()) {
            for (const Field &f : std::as_const(current))
                table.header.append(f.value_or(QString()));
        } else {
            if (current.size() != table.header.size()) {
                throw fail(QStringLiteral("%1 fields where the header has %2")
                               .arg(current.size())
                               .arg(table.header.size()));
            }
            table.rows.append(current);
        }
        current.clear();
        recordLine = line;
    };

    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (inQuotes) {
            if (c == u'"') {
                if (i + 1 < n && text.at(i + 1) == u'"') {
                    value += u'"';
                    ++i;
                } else {
                    inQuotes = false;
                }
            } else {
                if (c == u'\n')
                    ++line;
                value += c;
            }
            continue;
        }
        if (c == u'"') {
            if (fieldStarted)
                throw fail(QStringLiteral("a quote inside an unquoted field"));
            quoted = inQuotes = fieldStarted = true;
        } else if (c == u',') {
            endField();
        } else if (c == u'\r' || c == u'\n') {
            if (c == u'\r' && i + 1 < n && text.at(i + 1) == u'\n')
                ++i;
            ++line;
            endRecord();
        } else {
            if (quoted)
                throw fail(QStringLiteral("text after a closing quote"));
            value += c;
            fieldStarted = true;
        }
    }
    if (inQuotes)
        throw fail(QStringLiteral("a quote that is never closed"));
    if (fieldStarted || !current.isEmpty())
        endRecord();
    return table;
}

} // namespace chongma::csv
