#pragma once

#include "app/remembered_settings.h"
#include "net/rules/proxy_settings.h"

// The snapshot the engine works with, made from the window's settings as they stand: the one
// place where the controls' texts turn into rules.
ProxySettings engineSettingsOf(const RememberedSettings &shown);
