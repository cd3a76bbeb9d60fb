#include "watch/RunThread.h"

#include "data/Session.h"
#include "data/SessionHost.h"
#include "text/CodePage.h"

#include <memory>

namespace chongma {

TRunThread::TRunThread(SessionHost &session, const QString &sourceFile, QObject *parent)
    : QObject(parent), m_session(session), m_sourceFile(sourceFile)
{
}

bool TRunThread::progress(qint64, qint64) { return !m_session.stopRequested(); }

void TRunThread::start()
{
    auto result = std::make_shared<ImportResult>();
    m_session.post(
        [this, result](TData1 &session) { *result = import::RunImport(session, m_sourceFile, *this); }, this,
        [this, result](const QString &error) {
            QStringList lines;
            lines.reserve(result->lines.size());
            for (const QByteArray &line : std::as_const(result->lines))
                lines.append(fromCodePage(line));
            emit finished(error, lines, error.isEmpty() && result->complete);
            deleteLater();
        });
}

} // namespace chongma
