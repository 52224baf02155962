#include "net/rules/proxy_settings.h"

#include <cmath>
#include <limits>

double parseConnectionLimit(const QString &text)
{
    bool isNumber = false;
    const double limit = text.trimmed().toDouble(&isNumber);
    // "nan" converts, but is no number to compare with.
    if (!isNumber || std::isnan(limit))
        return std::numeric_limits<double>::quiet_NaN();
    return limit;
}
