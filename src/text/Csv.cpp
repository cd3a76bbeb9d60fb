#include "text/Csv.h"

#include "data/Error.h"

#include <QStringDecoder>

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

QByteArray field(const Field &value, bool quote)
{
    if (!value)
        return {};
    if (!quote && !needsQuotes(*value))
        return value->toUtf8();
    QString quoted = *value;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return '"' + quoted.toUtf8() + '"';
}

QByteArray record(const QList<Field> &fields, const QList<bool> &quote)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            bytes += ',';
        bytes += field(fields.at(i), i < quote.size() && quote.at(i));
    }
    return bytes + "\r\n";
}

// One pass over the quoting rules, clearer whole than split.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
Table parse(const QByteArray &input)
{
    // Read as bytes (every byte CSV gives a meaning to is ASCII), each field then decoded on
    // its own, so a field that is not UTF-8 is found where it stands.
    const QByteArray bytes = input.startsWith("\xEF\xBB\xBF") ? input.mid(3) : input;
    Table table;
    QList<QByteArray> current;
    QList<bool> currentQuoted;
    QByteArray value;
    bool quoted = false; // the field being read started with a quote
    bool inQuotes = false;
    bool fieldStarted = false;
    int line = 1;
    int recordLine = 1;
    const auto fail = [&](const QString &what) {
        return Error(QStringLiteral("line %1 of the backup: %2").arg(recordLine).arg(what));
    };
    const auto endField = [&] {
        current.append(value);
        currentQuoted.append(quoted);
        value.clear();
        quoted = false;
        fieldStarted = false;
    };
    const auto decode = [&](const QByteArray &raw, qsizetype column) {
        QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
        QString text = utf8.decode(raw);
        if (utf8.hasError()) {
            const QString where = table.header.isEmpty() && table.rows.isEmpty()
                                      ? QStringLiteral("the header of the backup")
                                      : QStringLiteral("row %1 of the backup, column %2")
                                            .arg(table.rows.size() + 1)
                                            .arg(column < table.header.size() ? table.header.at(column)
                                                                              : QString::number(column + 1));
            throw Error(QStringLiteral("%1 is not valid UTF-8 text; nothing was restored").arg(where));
        }
        return text;
    };
    const auto endRecord = [&] {
        endField();
        if (table.header.isEmpty() && table.rows.isEmpty()) {
            for (qsizetype i = 0; i < current.size(); ++i)
                table.header.append(decode(current.at(i), i));
        } else {
            if (current.size() != table.header.size()) {
                throw fail(QStringLiteral("%1 fields where the header has %2")
                               .arg(current.size())
                               .arg(table.header.size()));
            }
            QList<Field> fields;
            for (qsizetype i = 0; i < current.size(); ++i) {
                // An empty text that is not null: Qt's drivers bind a null QString as NULL.
                const QString text = decode(current.at(i), i);
                fields.append(currentQuoted.at(i) || !text.isEmpty() ? Field(text.isEmpty() ? QStringLiteral("") : text)
                                                                     : Field());
            }
            table.rows.append(fields);
            table.quoted.append(currentQuoted);
        }
        current.clear();
        currentQuoted.clear();
        recordLine = line;
    };

    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = bytes.at(i);
        if (inQuotes) {
            if (c == '"') {
                if (i + 1 < n && bytes.at(i + 1) == '"') {
                    value += '"';
                    ++i;
                } else {
                    inQuotes = false;
                }
            } else {
                if (c == '\n')
                    ++line;
                value += c;
            }
            continue;
        }
        if (c == '"') {
            if (fieldStarted)
                throw fail(QStringLiteral("a quote inside an unquoted field"));
            quoted = inQuotes = fieldStarted = true;
        } else if (c == ',') {
            endField();
        } else if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < n && bytes.at(i + 1) == '\n')
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
