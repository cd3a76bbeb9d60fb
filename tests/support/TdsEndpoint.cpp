#include "support/TdsEndpoint.h"

#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QThread>

namespace chongma::test {

TdsEndpoint::TdsEndpoint(const QJsonObject &script)
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty()) {
        m_why = QStringLiteral("python3 is not installed");
        return;
    }
    QFile file(m_dir.filePath(QStringLiteral("script.json")));
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(script).toJson()) < 0) {
        m_why = QStringLiteral("cannot write the endpoint's script");
        return;
    }
    file.close();
    const QString portFile = m_dir.filePath(QStringLiteral("port"));
    m_process.start(python, {QStringLiteral(CHONGMA_TESTS_DIR "/support/tds_endpoint.py"), QStringLiteral("--script"),
                             file.fileName(), QStringLiteral("--record"), m_dir.filePath(QStringLiteral("requests.jsonl")),
                             QStringLiteral("--port-file"), portFile, QStringLiteral("--lifetime"), QStringLiteral("600")});
    for (int i = 0; i < 200 && m_port == 0 && m_process.state() != QProcess::NotRunning; ++i) {
        QFile port(portFile);
        if (port.open(QIODevice::ReadOnly))
            m_port = port.readAll().trimmed().toInt();
        if (m_port == 0)
            QThread::msleep(25);
    }
    if (m_port == 0)
        m_why = QStringLiteral("the endpoint did not start: ") + QString::fromUtf8(m_process.readAllStandardError());
}

TdsEndpoint::~TdsEndpoint()
{
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
}

DataLink TdsEndpoint::link() const
{
    return parseDataLink(QStringLiteral("[oledb]\nProvider=SQLOLEDB.1;User ID=sa;Password=x;Initial Catalog=barcodes;"
                                        "Data Source=127.0.0.1,%1;Connect Timeout=5")
                             .arg(m_port),
                         m_dir.path(), QProcessEnvironment());
}

QList<QJsonObject> TdsEndpoint::requests() const
{
    QList<QJsonObject> list;
    QFile file(m_dir.filePath(QStringLiteral("requests.jsonl")));
    if (!file.open(QIODevice::ReadOnly))
        return list;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (!line.isEmpty())
            list.append(QJsonDocument::fromJson(line).object());
    }
    return list;
}

} // namespace chongma::test
