#include "app/RunThread.h"

#include "data/SessionHost.h"

namespace chongma {

void TRunThread::Execute(SessionHost &host, const std::shared_ptr<CancelToken> &cancel, const ImportRequest &request,
                         ImportSink *sink, QObject *context, std::function<void(ImportResult)> done)
{
    host.post<ImportResult>(
        cancel,
        [request, sink](Connection &connection, const CancelToken &token) {
            return import::RunImport(connection.session(*sink), request, *sink, token);
        },
        context, std::move(done));
}

} // namespace chongma
