#include "data/OdbcString.h"

#include "data/Error.h"

namespace chongma {

qsizetype closingBrace(const QString &s, qsizetype open, OdbcBraces braces)
{
    const qsizetype n = s.size();
    qsizetype doubled = n;
    for (qsizetype j = open + 1; j < n; ++j) {
        if (s[j] != u'}')
            continue;
        if (j + 1 < n && s[j + 1] == u'}') {
            ++j;
            continue;
        }
        doubled = j;
        break;
    }
    qsizetype freeTds = n;
    for (qsizetype j = open + 1; j < n; ++j) {
        if (s[j] == u'}' && (j + 1 == n || s[j + 1] == u';')) {
            freeTds = j;
            break;
        }
    }
    switch (braces) {
    case OdbcBraces::Doubled:
        return doubled;
    case OdbcBraces::FreeTds:
        return freeTds;
    case OdbcBraces::Widest:
        break;
    }
    return qMax(doubled, freeTds);
}

// One pass over the quotes and brace readings, clearer whole than split.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
QList<OdbcAttribute> odbcAttributes(const QString &conn, OdbcBraces braces)
{
    QList<OdbcAttribute> out;
    const qsizetype n = conn.size();
    qsizetype i = 0;
    while (i < n) {
        const qsizetype eq = conn.indexOf(u'=', i);
        const qsizetype semi = conn.indexOf(u';', i);
        if (eq < 0 || (semi >= 0 && semi < eq)) {
            if (semi < 0)
                break;
            i = semi + 1;
            continue;
        }
        OdbcAttribute a;
        a.from = i;
        a.key = conn.mid(i, eq - i).trimmed();
        qsizetype v = eq + 1;
        while (v < n && conn[v] == u' ')
            ++v;
        a.valueFrom = v;
        const QChar open = v < n ? conn[v] : QChar();
        if (open == u'{') {
            const qsizetype close = closingBrace(conn, v, braces);
            a.writtenFrom = v + 1;
            a.written = conn.mid(v + 1, close - v - 1);
            a.value = braces == OdbcBraces::FreeTds
                ? a.written
                : QString(a.written).replace(QStringLiteral("}}"), QStringLiteral("}"));
            a.valueTo = qMin(close + 1, n);
            const qsizetype next = conn.indexOf(u';', a.valueTo);
            i = next < 0 ? n : next + 1;
        } else if (open == u'"' || open == u'\'') {
            const QChar close = open;
            qsizetype j = v + 1;
            qsizetype innerTo = n;
            while (j < n) {
                if (conn[j] == close) {
                    if (j + 1 < n && conn[j + 1] == close) {
                        a.value += close;
                        j += 2;
                        continue;
                    }
                    innerTo = j++;
                    break;
                }
                a.value += conn[j++];
            }
            a.writtenFrom = v + 1;
            a.written = conn.mid(v + 1, innerTo - v - 1);
            a.valueTo = j;
            const qsizetype next = conn.indexOf(u';', j);
            i = next < 0 ? n : next + 1;
        } else {
            const qsizetype end = semi < 0 ? n : semi;
            a.value = conn.mid(v, end - v).trimmed();
            a.writtenFrom = v;
            a.written = a.value;
            a.valueTo = end;
            i = end + 1;
        }
        a.to = qMin(i, n);
        out.append(a);
    }
    return out;
}

QString withoutOdbcAttributes(const QString &conn, const QStringList &keys, OdbcBraces braces)
{
    QString out = conn;
    const QList<OdbcAttribute> attributes = odbcAttributes(conn, braces);
    for (auto it = attributes.crbegin(); it != attributes.crend(); ++it) {
        if (keys.contains(it->key.toLower()))
            out.remove(it->from, it->to - it->from);
    }
    return out;
}

QString bracedOdbc(const QString &value)
{
    return u'{' + QString(value).replace(u'}', QStringLiteral("}}")) + u'}';
}

QString odbcValue(const QString &value, OdbcBraces braces, const QString &what)
{
    // ';' ends a bare value, a leading brace or quote opens a quoted one, and drivers may trim
    // blanks at the ends of a bare value.
    const bool opens = !value.isEmpty()
        && (value.front() == u'{' || value.front() == u'"' || value.front() == u'\'');
    const bool blankEnds = !value.isEmpty() && (value.front().isSpace() || value.back().isSpace());
    if (braces == OdbcBraces::FreeTds) {
        // A '}' is fine bare, read as written by every FreeTDS; braced, the versions differ.
        if (!value.contains(u';') && !opens && !blankEnds)
            return value;
        if (value.contains(QStringLiteral("};"))) {
            throw ConnectionError(
                QStringLiteral("%1 holds \"};\", which FreeTDS cannot read in a connection string")
                    .arg(what));
        }
        return u'{' + value + u'}';
    }
    const bool needsBraces = value.contains(u';') || value.contains(u'{') || value.contains(u'}')
        || opens || blankEnds;
    return needsBraces ? bracedOdbc(value) : value;
}

QList<ConninfoEntry> conninfoEntries(const QString &s)
{
    QList<ConninfoEntry> out;
    const qsizetype n = s.size();
    qsizetype i = 0;
    while (i < n) {
        while (i < n && s[i].isSpace())
            ++i;
        const qsizetype keyFrom = i;
        while (i < n && s[i] != u'=' && !s[i].isSpace())
            ++i;
        ConninfoEntry e;
        e.key = s.mid(keyFrom, i - keyFrom);
        while (i < n && s[i].isSpace())
            ++i;
        if (i >= n || s[i] != u'=') {
            ++i;
            continue;
        }
        ++i;
        while (i < n && s[i].isSpace())
            ++i;
        const bool quoted = i < n && s[i] == u'\'';
        if (quoted)
            ++i;
        e.writtenFrom = i;
        while (i < n && (quoted ? s[i] != u'\'' : !s[i].isSpace())) {
            if (s[i] == u'\\' && i + 1 < n)
                ++i;
            e.value += s[i++];
        }
        e.writtenTo = i;
        e.written = s.mid(e.writtenFrom, i - e.writtenFrom);
        if (quoted && i < n)
            ++i;
        out.append(e);
    }
    return out;
}

} // namespace chongma
