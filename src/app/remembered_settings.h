#pragma once

#include <QString>

// Every setting control of the window, as text and switches: what is remembered between runs,
// and what the Defaults button puts back.
struct RememberedSettings {
    QString port;
    QString maxThreads;
    bool isLogging = false;
    QString logPath;
    bool onlyAllowed = false; // Option2 ("Only allow these headers.") rather than Option1
    QString allow;
    bool isChanging = false;
    QString change;
    bool isRemoving = false;
    QString remove;
    bool isAdding = false;
    QString add;
    bool isInspecting = false;
    QString noInspect;
};

// The defaults, as the window shows them at its very first start. List texts are CR LF joined.
RememberedSettings defaultSettings();

// $XDG_CONFIG_HOME/vesktor/vesktor.conf, by default ~/.config/vesktor/vesktor.conf.
QString rememberedSettingsPath();

struct RememberedSettingsLoad {
    RememberedSettings settings;
    // The file could not be read, was not text, could not be parsed or held a value of the
    // wrong type: the settings are then the defaults, every one of them.
    bool isCorrupt = false;
};

// The file's settings over the defaults: a missing file, or a missing key (a file from an older
// version), gives the default.
RememberedSettingsLoad loadRememberedSettings(const QString &path);

// Renames a corrupt file to path + ".bad" for the user, replacing an older one.
bool setAsideCorruptSettings(const QString &path);

// Writes every setting; false when the file could not be written.
bool saveRememberedSettings(const QString &path, const RememberedSettings &settings);
