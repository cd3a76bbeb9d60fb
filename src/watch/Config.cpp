#include "watch/Config.h"

#include "data/Error.h"
#include "watch/FileTime.h"
#include "text/CodePage.h"
#include "text/TimeText.h"
#include "text/WholeFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <optional>

namespace chongma {

namespace {

// config.ini is a Windows profile file. It is edited line by line, the way the per-key profile
// writer does it, so whatever else a user keeps in it survives byte for byte.

const QByteArray kSection = QByteArrayLiteral("config.ini");
const QByteArray kNewLine = QByteArrayLiteral("\r\n");

struct Line {
    QByteArray text;   // without its ending
    QByteArray ending; // "\r\n", "\n", or empty on a last line without one
};

QList<Line> splitLines(const QByteArray &bytes)
{
    QList<Line> lines;
    qsizetype start = 0;
    while (start < bytes.size()) {
        const qsizetype lf = bytes.indexOf('\n', start);
        if (lf < 0) {
            lines.append({bytes.mid(start), {}});
            break;
        }
        const bool crlf = lf > start && bytes.at(lf - 1) == '\r';
        const qsizetype textEnd = crlf ? lf - 1 : lf;
        lines.append({bytes.mid(start, textEnd - start), crlf ? kNewLine : QByteArrayLiteral("\n")});
        start = lf + 1;
    }
    return lines;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

QByteArray trimBlanks(QByteArrayView text)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    return text.sliced(begin, end - begin).toByteArray();
}

bool sameName(const QByteArray &a, const QByteArray &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The name of a "[name]" line, if it is one.
std::optional<QByteArray> sectionName(const QByteArray &line)
{
    const QByteArray text = trimBlanks(line);
    if (!text.startsWith('['))
        return std::nullopt;
    const qsizetype close = text.lastIndexOf(']');
    if (close < 0)
        return std::nullopt;
    return trimBlanks(QByteArrayView(text).sliced(1, close - 1));
}

// The key of a "key=value" line, if it is one. A comment's key starts with ";", so it never
// matches ours.
std::optional<QByteArray> keyName(const QByteArray &line)
{
    const qsizetype eq = line.indexOf('=');
    if (eq < 0)
        return std::nullopt;
    return trimBlanks(QByteArrayView(line).first(eq));
}

struct Section {
    qsizetype header = -1; // index of the "[config.ini]" line, -1 when missing
    qsizetype end = 0;     // one past its last line
};

Section findSection(const QList<Line> &lines)
{
    Section found;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const auto name = sectionName(lines.at(i).text);
        if (!name)
            continue;
        if (found.header >= 0)
            return {found.header, i};
        if (sameName(*name, kSection))
            found.header = i;
    }
    if (found.header >= 0)
        found.end = lines.size();
    return found;
}

qsizetype findKey(const QList<Line> &lines, const Section &section, const QByteArray &key)
{
    for (qsizetype i = section.header + 1; i < section.end; ++i) {
        const auto name = keyName(lines.at(i).text);
        if (name && sameName(*name, key))
            return i;
    }
    return -1;
}

QByteArray valueOf(const QByteArray &line)
{
    QByteArray value = trimBlanks(QByteArrayView(line).sliced(line.indexOf('=') + 1));
    // A value in matching quotes is read without them, as Windows reads it.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.sliced(1, value.size() - 2);
    return value;
}

// A line break or NUL in a value would end the line early and leave the rest as a line of its
// own: keep only what comes before it.
QByteArray oneLine(const QByteArray &value)
{
    qsizetype end = 0;
    while (end < value.size() && value.at(end) != '\r' && value.at(end) != '\n' && value.at(end) != '\0')
        ++end;
    return value.first(end);
}

// The number a profile integer starts with; 0 when it starts with none or it does not fit.
qint32 leadingInt(const QByteArray &value)
{
    qsizetype end = (value.startsWith('-') || value.startsWith('+')) ? 1 : 0;
    while (end < value.size() && value.at(end) >= '0' && value.at(end) <= '9')
        ++end;
    return value.first(end).toInt(); // 0 when not a number or out of range
}

QByteArray updatedProfile(const QByteArray &old, const QList<std::pair<QByteArray, QByteArray>> &keys)
{
    QList<Line> lines = splitLines(old);
    const Section section = findSection(lines);
    if (section.header < 0) {
        QByteArray bytes = old;
        if (!bytes.isEmpty() && !bytes.endsWith('\n'))
            bytes += kNewLine;
        bytes += '[' + kSection + ']' + kNewLine;
        for (const auto &[key, value] : keys)
            bytes += key + '=' + value + kNewLine;
        return bytes;
    }

    QList<Line> missing;
    for (const auto &[key, value] : keys) {
        const qsizetype at = findKey(lines, section, key);
        if (at < 0) {
            missing.append({key + '=' + value, kNewLine});
            continue;
        }
        // Only the value changes: the key keeps its spelling, the blanks around "=" stay, and the
        // line keeps its ending.
        QByteArray &text = lines[at].text;
        qsizetype valueStart = text.indexOf('=') + 1;
        while (valueStart < text.size() && (text.at(valueStart) == ' ' || text.at(valueStart) == '\t'))
            ++valueStart;
        text = text.first(valueStart) + value;
    }
    if (!missing.isEmpty()) {
        qsizetype last = section.header;
        for (qsizetype i = section.header + 1; i < section.end; ++i) {
            if (!trimBlanks(lines.at(i).text).isEmpty())
                last = i;
        }
        if (lines.at(last).ending.isEmpty())
            lines[last].ending = kNewLine;
        for (qsizetype i = 0; i < missing.size(); ++i)
            lines.insert(last + 1 + i, missing.at(i));
    }

    QByteArray bytes;
    bytes.reserve(old.size() + 256);
    for (const Line &line : std::as_const(lines))
        bytes += line.text + line.ending;
    return bytes;
}

} // namespace

QByteArray GetFileTimeText(const QString &path)
{
    const QDateTime written = fileWriteTime(path);
    if (!written.isValid())
        return QByteArrayLiteral("1899-12-30 00:00:00"); // the date-time 0
    return timeText(written).toLatin1();
}

bool readConfig(const QString &path, TConfigRec &config)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    const QList<Line> lines = splitLines(file.readAll());
    if (file.error() != QFileDevice::NoError)
        return false;
    const Section section = findSection(lines);
    if (section.header < 0)
        return true;
    if (const qsizetype at = findKey(lines, section, "FilePath"); at >= 0)
        config.FilePath = valueOf(lines.at(at).text);
    if (const qsizetype at = findKey(lines, section, "FileName"); at >= 0)
        config.FileName = valueOf(lines.at(at).text);
    if (const qsizetype at = findKey(lines, section, "FileCheckCycle"); at >= 0)
        config.FileCheckCycle = leadingInt(valueOf(lines.at(at).text));
    return true;
}

void writeConfig(const QString &path, const TConfigRec &config)
{
    const auto failed = [&path](const QString &reason) {
        return Error(QStringLiteral("Unable to write to %1: %2").arg(QDir::toNativeSeparators(path), reason));
    };

    QByteArray old;
    const QFileInfo info(path);
    if (info.exists()) {
        // The owner write bit, not the OS, decides: an administrator (or root) may write over
        // a read-only file, and Windows' profile writer refuses to.
        if (!info.isFile())
            throw failed(QStringLiteral("it is a folder"));
        if (!info.permission(QFileDevice::WriteOwner))
            throw failed(QStringLiteral("the file is read-only"));
        QFile current(path);
        if (!current.open(QIODevice::ReadOnly))
            throw failed(current.errorString());
        old = current.readAll();
        if (current.error() != QFileDevice::NoError)
            throw failed(current.errorString());
    }

    const QByteArray bytes = updatedProfile(old, {
        {"FilePath", oneLine(config.FilePath)},
        {"FileName", oneLine(config.FileName)},
        {"FileCreateTime", oneLine(config.FileCreateTime)},
        {"FileCheckCycle", QByteArray::number(config.FileCheckCycle)},
    });

    // Written beside and renamed over: a crash or a full disk leaves the old file whole.
    const FileReplaced replaced = replaceFile(path, bytes);
    if (!replaced.ok())
        throw failed(replaced.reason);
}

} // namespace chongma
