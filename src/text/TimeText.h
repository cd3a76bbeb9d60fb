#pragma once

#include <QDateTime>
#include <QString>

namespace chongma {

// "YYYY-MM-DD HH:MM:SS" in local time: fixed-width fields, so two texts compare in time order.
QString timeText(const QDateTime &when);

} // namespace chongma
