#include "cli/ImportPrinter.h"

#include "text/CodePage.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace chongma::cli {

void ImportPrinter::addLog(const QString &line)
{
    m_line.finish();
    m_json ? err(line) : out(line);
}

void ImportPrinter::addError(const QString &line)
{
    m_line.finish();
    m_json ? err(line) : out(line);
}

QString ImportPrinter::summary(const ImportCounters &c)
{
    return QStringLiteral("总记录数：%1 已导入数：%2 已存在数：%3 格式错误：%4 未导入数：%5 无法解析：%6")
        .arg(c.sum)
        .arg(c.num)
        .arg(c.exist)
        .arg(c.error)
        .arg(c.wdr)
        .arg(c.rejected);
}

void ImportPrinter::lineHandled(const LineReport &r)
{
    if (!m_json)
        return;
    QJsonObject o;
    o.insert(QStringLiteral("line"), r.line);
    o.insert(QStringLiteral("text"), fromCodePage(r.text));
    o.insert(QStringLiteral("accepted"), r.outcome != LineOutcome::Rejected);
    if (r.outcome == LineOutcome::Rejected) {
        o.insert(QStringLiteral("reason"), parseReasonText(r.reason));
        if (r.cutLength >= 0)
            o.insert(QStringLiteral("length"), r.cutLength);
    } else {
        const TMaterialRec &m = r.record;
        o.insert(QStringLiteral("code"), fromCodePage(m.Code.bytes()));
        o.insert(QStringLiteral("mno"), fromCodePage(m.MNo.bytes()));
        o.insert(QStringLiteral("int"), m.IntValue);
        o.insert(QStringLiteral("price"), fromCodePage(m.Price.bytes()));
        o.insert(QStringLiteral("pubDate"), fromCodePage(m.PubDate.bytes()));
        o.insert(QStringLiteral("name"), fromCodePage(m.Name.bytes()));
        o.insert(QStringLiteral("supName"), fromCodePage(m.SupName.bytes()));
        static const char *const outcomes[] = {"rejected", "new", "present", "failed"};
        o.insert(QStringLiteral("outcome"), QLatin1String(outcomes[int(r.outcome)]));
        o.insert(QStringLiteral("sql"), fromCodePage(r.sql));
    }
    out(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
}

} // namespace chongma::cli
