#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace chongma {

// How a driver reads a braced value.
enum class OdbcBraces {
    Doubled, // ODBC's rule (Microsoft's drivers, psqlODBC): a '}' inside is written twice
    FreeTds, // FreeTDS before 1.4 (Debian 12 has 1.3.17): the value ends at the first "};" and
             // a '}' inside is taken as written, so it is written once
    Widest,  // reading only, for masking: to the later end of the two, hiding either reading
};

// One attribute of an ODBC connection string, with where its value sits in that string.
struct OdbcAttribute {
    QString key;
    QString value;   // braces or quotes removed, doubled closers read as one (but by FreeTDS)
    QString written; // between the braces or quotes, as written
    qsizetype valueFrom = 0; // the value, braces or quotes included
    qsizetype valueTo = 0;
    qsizetype writtenFrom = 0; // where `written` starts
    qsizetype from = 0;        // past the ';' before it
    qsizetype to = 0;          // past the ';' that ends the attribute, or the end
};

// ODBC quotes a value with braces; some drivers also take " or '. Inside quotes the quote
// doubled stands for itself; braces are read by `braces`. A quoted value may hold ';'.
QList<OdbcAttribute> odbcAttributes(const QString &conn, OdbcBraces braces);

// The '}' that closes the brace at `open` in `s`, or s.size().
qsizetype closingBrace(const QString &s, qsizetype open, OdbcBraces braces);

// `value` always braced, as a Driver attribute is written.
QString bracedOdbc(const QString &value);

// `value` as a connection string carries it: braced when ODBC would misread it bare. Throws
// ConnectionError naming `what` (never the value) for a value FreeTDS cannot be given.
QString odbcValue(const QString &value, OdbcBraces braces, const QString &what);

// `conn` without its attributes named by `keys` (lower case).
QString withoutOdbcAttributes(const QString &conn, const QStringList &keys, OdbcBraces braces);

// A libpq "keyword=value keyword='value' ..." entry (psqlODBC's pqopt), with where its value
// sits: a value ends at a blank unless quoted with ', and a backslash takes the next character as
// it is.
struct ConninfoEntry {
    QString key;
    QString value;   // escapes resolved
    QString written; // as it stands, without the quotes
    qsizetype writtenFrom = 0;
    qsizetype writtenTo = 0;
};

QList<ConninfoEntry> conninfoEntries(const QString &s);

} // namespace chongma
