#include "support/fresh_settings.h"

#include <QFile>

#include "app/remembered_settings.h"

namespace testsupport {

void forgetRememberedSettings()
{
    const QString path = rememberedSettingsPath();
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".bad"));
}

} // namespace testsupport
