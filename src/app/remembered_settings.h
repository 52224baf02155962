#pragma once

#include <QString>

// Every setting control of the window, as text and switches: what is remembered between runs
// while "Remember settings" is ticked, and what the Defaults button puts back.
struct RememberedSettings {
    // chkRemember: the settings are kept for the next run only while this is on. A file is
    // written only with it on, so a file that says so was written by this program.
    bool isRemembering = false;
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
    bool isRemovingResponse = false; // chkRemoveResponse
    QString removeResponse;
    bool isInspecting = false;
    QString noInspect;
};

// The defaults, as the window shows them at its very first start. List texts are CR LF joined.
RememberedSettings defaultSettings();

// $XDG_CONFIG_HOME/vesktor/vesktor.conf, by default ~/.config/vesktor/vesktor.conf.
QString rememberedSettingsPath();

// What a start finds at the settings path.
enum class SettingsFileKind {
    Missing,
    // Text without "Remember=true" (one written before remembering could be switched off, or
    // by hand): not ours to read or change.
    NotRemembering,
    // Written with "Remember settings" ticked, and usable.
    Remembering,
    // Too large, unreadable, not text, or a file that says it remembers but holds a value of
    // the wrong type: to be set aside.
    Corrupt,
    // A FIFO, a device, a folder: never opened, and left where it is.
    NotARegularFile,
};

struct RememberedSettingsLoad {
    // The file's settings over the defaults when it is Remembering; otherwise the defaults,
    // every one of them.
    RememberedSettings settings;
    SettingsFileKind kind = SettingsFileKind::Missing;
};

// A settings file is never read past this size: a larger one counts as corrupt.
constexpr qint64 kMaxSettingsFileBytes = 1024 * 1024;

// The file's settings over the defaults: a missing key (a file from an older version) gives the
// default.
RememberedSettingsLoad loadRememberedSettings(const QString &path);

// Renames a corrupt file to path + ".bad" for the user, replacing an older one.
bool setAsideCorruptSettings(const QString &path);

// Writes every setting; false when the file could not be written.
bool saveRememberedSettings(const QString &path, const RememberedSettings &settings);

// Removes a file that this program wrote with remembering on, so that the next start begins
// from the defaults; any other file is left alone. False when such a file could not be removed.
bool forgetRememberedSettings(const QString &path);
