#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace chongma {

// One attribute of an ODBC connection string, with where its value sits in that string.
struct OdbcAttribute {
    QString key;
    QString value;   // braces or quotes removed, doubled closers read as one
    QString written; // between the braces or quotes, as written
    qsizetype valueFrom = 0; // the value, braces or quotes included
    qsizetype valueTo = 0;
    qsizetype writtenFrom = 0; // where `written` starts
    qsizetype from = 0;        // past the ';' before it
    qsizetype to = 0;          // past the ';' that ends the attribute, or the end
};

// ODBC quotes a value with braces; some drivers also take " or '. Inside, the closing character
// doubled stands for itself, so a quoted value may hold ';'.
QList<OdbcAttribute> odbcAttributes(const QString &conn);

// `value` always braced, as a Driver attribute is written.
QString bracedOdbc(const QString &value);

// `value` as a connection string carries it: braced when ODBC would misread it bare.
QString odbcValue(const QString &value);

// `conn` without its attributes named by `keys` (lower case).
QString withoutOdbcAttributes(const QString &conn, const QStringList &keys);

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
