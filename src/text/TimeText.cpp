#include "text/TimeText.h"

namespace chongma {

QString timeText(const QDateTime &when)
{
    return when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace chongma
