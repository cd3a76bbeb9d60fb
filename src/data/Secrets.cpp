#include "data/Secrets.h"

#include "data/OdbcString.h"

#include <QRegularExpression>

#include <algorithm>

namespace chongma {

namespace {

const QString kMask = QStringLiteral("***");

bool isPasswordKey(const QString &key)
{
    return key.compare(u"pwd", Qt::CaseInsensitive) == 0
        || key.compare(u"password", Qt::CaseInsensitive) == 0;
}

bool isPqopt(const QString &key) { return key.compare(u"pqopt", Qt::CaseInsensitive) == 0; }

bool isWordCharacter(QChar c) { return c.isLetterOrNumber(); }

// Where the value that starts at `from` ends, as a connection string, an init string or a
// conninfo writes it; braces are masked with the value, quotes are kept around the mask.
struct Span {
    qsizetype from;
    qsizetype to;
    qsizetype next; // where reading goes on
};

Span valueSpan(const QString &text, qsizetype from)
{
    const qsizetype n = text.size();
    if (from >= n)
        return {from, from, from};
    const QChar open = text[from];
    if (open == u'{') {
        const qsizetype close = qMin(closingBrace(text, from, OdbcBraces::Widest) + 1, n);
        return {from, close, close};
    }
    if (open == u'"' || open == u'\'') {
        for (qsizetype j = from + 1; j < n; ++j) {
            if (text[j] == u'\\') {
                ++j;
                continue;
            }
            if (text[j] != open)
                continue;
            if (j + 1 < n && text[j + 1] == open) {
                ++j;
                continue;
            }
            return {from + 1, j, j + 1};
        }
        return {from + 1, n, n};
    }
    // Bare: a text gives no sure end but ';' or the line's; hiding too much is the safe side.
    qsizetype end = from;
    while (end < n && text[end] != u';' && text[end] != u'\n')
        ++end;
    return {from, end, end};
}

// Every password key's value masked where it stands, whatever syntax wrote it.
QString maskPasswordKeys(const QString &text)
{
    static const QRegularExpression key(QStringLiteral("(?:pwd|password)\\s*=\\s*"),
                                        QRegularExpression::CaseInsensitiveOption);
    QString out;
    qsizetype copied = 0;
    qsizetype at = 0;
    for (;;) {
        const QRegularExpressionMatch m = key.match(text, at);
        if (!m.hasMatch())
            break;
        const Span value = valueSpan(text, m.capturedEnd());
        out += text.mid(copied, value.from - copied) + kMask;
        copied = value.to;
        at = qMax(value.next, m.capturedEnd());
        if (at >= text.size())
            break;
    }
    return out + text.mid(copied);
}

// `text` with `secret` masked where it stands as a whole token: no letter or digit right before
// or after it, unless its own end is a sign.
QString maskWholeTokens(const QString &text, const QString &secret)
{
    QString out;
    qsizetype copied = 0;
    for (qsizetype at = text.indexOf(secret); at >= 0; at = text.indexOf(secret, at + 1)) {
        const qsizetype end = at + secret.size();
        const bool startsClear =
            !isWordCharacter(secret.front()) || at == 0 || !isWordCharacter(text[at - 1]);
        const bool endsClear =
            !isWordCharacter(secret.back()) || end == text.size() || !isWordCharacter(text[end]);
        if (!startsClear || !endsClear)
            continue;
        out += text.mid(copied, at - copied) + kMask;
        copied = end;
        at = end - 1;
    }
    return out + text.mid(copied);
}

} // namespace

void Secrets::add(const QString &value, const QString &written)
{
    for (const QString &s : {value, written}) {
        if (!s.isEmpty() && !m_secrets.contains(s))
            m_secrets.append(s);
    }
}

void Secrets::addFromOdbc(const QString &connection)
{
    for (const OdbcAttribute &a : odbcAttributes(connection, OdbcBraces::Widest)) {
        if (isPasswordKey(a.key)) {
            add(a.value, a.written);
        } else if (isPqopt(a.key)) {
            for (const ConninfoEntry &e : conninfoEntries(a.value)) {
                if (e.key.compare(u"password", Qt::CaseInsensitive) == 0)
                    add(e.value, e.written);
            }
        }
    }
}

bool Secrets::isSearched(const QString &secret)
{
    if (secret.size() < 4)
        return false;
    bool letters = false;
    bool digits = false;
    bool others = false;
    for (const QChar c : secret) {
        if (c.isLetter())
            letters = true;
        else if (c.isNumber())
            digits = true;
        else
            others = true;
    }
    return int(letters) + int(digits) + int(others) >= 2;
}

bool Secrets::isSecret(const QString &value) const
{
    const QString trimmed = value.trimmed();
    return std::any_of(m_secrets.begin(), m_secrets.end(), [&](const QString &s) {
        return s == value || s == trimmed;
    });
}

QString Secrets::maskValue(const QString &value) const
{
    return isSecret(value) ? kMask : maskText(value);
}

QString Secrets::maskOdbc(const QString &connection) const
{
    QString out = connection;
    const QList<OdbcAttribute> attributes = odbcAttributes(connection, OdbcBraces::Widest);
    // Back to front, so earlier spans stay where they were.
    for (auto it = attributes.crbegin(); it != attributes.crend(); ++it) {
        if (isPasswordKey(it->key) || isSecret(it->value)) {
            out.replace(it->valueFrom, it->valueTo - it->valueFrom, kMask);
        } else if (isPqopt(it->key)) {
            QString written = it->written;
            const QList<ConninfoEntry> entries = conninfoEntries(written);
            for (auto e = entries.crbegin(); e != entries.crend(); ++e) {
                if (e->key.compare(u"password", Qt::CaseInsensitive) == 0)
                    written.replace(e->writtenFrom, e->writtenTo - e->writtenFrom, kMask);
            }
            out.replace(it->writtenFrom, it->written.size(), written);
        }
    }
    return maskTokens(out);
}

QString Secrets::maskText(const QString &text) const { return maskTokens(maskPasswordKeys(text)); }

QString Secrets::maskTokens(const QString &text) const
{
    QStringList spellings;
    for (const QString &secret : m_secrets) {
        if (!isSearched(secret))
            continue;
        // Also as a driver may echo them: '}' or a quote doubled.
        for (const QString &s : {secret, QString(secret).replace(u'}', QStringLiteral("}}")),
                                 QString(secret).replace(u'"', QStringLiteral("\"\"")),
                                 QString(secret).replace(u'\'', QStringLiteral("''"))}) {
            if (!spellings.contains(s))
                spellings.append(s);
        }
    }
    // Longest first: a secret holding another must not be left half shown.
    std::sort(spellings.begin(), spellings.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    QString out = text;
    for (const QString &s : std::as_const(spellings))
        out = maskWholeTokens(out, s);
    return out;
}

} // namespace chongma
