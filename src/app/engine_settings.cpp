#include "app/engine_settings.h"

ProxySettings engineSettingsOf(const RememberedSettings &shown)
{
    ProxySettings settings;
    settings.rules.allowAll = !shown.onlyAllowed;
    settings.rules.allow = splitEntries(shown.allow.toLatin1());
    settings.rules.change = shown.isChanging;
    settings.rules.changeEntries = splitEntries(shown.change.toLatin1());
    settings.rules.remove = shown.isRemoving;
    settings.rules.removeEntries = splitEntries(shown.remove.toLatin1());
    settings.rules.add = shown.isAdding;
    settings.rules.addEntries = splitEntries(shown.add.toLatin1());
    settings.rules.removeResponse = shown.isRemovingResponse;
    settings.rules.removeResponseEntries = splitEntries(shown.removeResponse.toLatin1());
    settings.isLogging = shown.isLogging;
    settings.connectionLimit = parseConnectionLimit(shown.maxThreads);
    settings.isInspecting = shown.isInspecting;
    settings.noInspect = splitEntries(shown.noInspect.toLatin1());
    return settings;
}
