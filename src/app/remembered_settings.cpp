// The window's settings remembered between runs, only while "Remember settings" is ticked:
// restored when the window is made, saved at Start and at Exit, put back to the defaults by
// cmdDefaults. Unticked, nothing is written, and a file this program wrote earlier is removed.
// One INI file, read and written on the window's thread only.
#include "app/remembered_settings.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QStandardPaths>
#include <QStringDecoder>

#include "app/list_box.h"
#include "app/main_window.h"
#include "app/message_box.h"

namespace {

const char kAllowDefault[] = "Accept: *\r\nAccept-Language: *\r\nAccept-Encoding: *\r\n"
                             "Accept-Charset: *\r\nHost: *\r\nKeep-Alive: *\r\nRange: *\r\n"
                             "Cache-Control: *\r\nContent-Length: *\r\nContent-Type: *\r\n"
                             "Authorization: *";
const char kChangeDefault[] = "User-Agent: Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1)";
const char kRemoveDefault[] = "User-Agent\r\nCookie\r\nReferer\r\nFrom\r\nDate";
const char kRemoveResponseDefault[] = "Set-Cookie\r\nETag";
const char kAddDefault[] = "Via: Vesktor 1.0";

// The file's keys, grouped as the window groups its controls.
struct TextKey {
    const char *name;
    QString RememberedSettings::*field;
};
struct SwitchKey {
    const char *name;
    bool RememberedSettings::*field;
};

const TextKey kTextKeys[] = {
    {"proxy/port", &RememberedSettings::port},
    {"proxy/maxThreads", &RememberedSettings::maxThreads},
    {"log/path", &RememberedSettings::logPath},
    {"headers/allowList", &RememberedSettings::allow},
    {"headers/replaceList", &RememberedSettings::change},
    {"headers/removeList", &RememberedSettings::remove},
    {"headers/addList", &RememberedSettings::add},
    {"headers/removeResponseList", &RememberedSettings::removeResponse},
    {"https/neverInspectList", &RememberedSettings::noInspect},
};
// Written only while remembering is on, at the top of the file ([General]): a file without it
// is not this program's to read or change.
const SwitchKey kRememberKey = {"Remember", &RememberedSettings::isRemembering};
const SwitchKey kSwitchKeys[] = {
    kRememberKey,
    {"log/enabled", &RememberedSettings::isLogging},
    {"headers/onlyAllowed", &RememberedSettings::onlyAllowed},
    {"headers/replace", &RememberedSettings::isChanging},
    {"headers/remove", &RememberedSettings::isRemoving},
    {"headers/add", &RememberedSettings::isAdding},
    {"headers/removeResponse", &RememberedSettings::isRemovingResponse},
    {"https/inspect", &RememberedSettings::isInspecting},
};

// QSettings writes UTF-8 text, with every control character of a value escaped; yet it reads
// almost any bytes as an INI file without an error, and garbage would pass for a file with none
// of the keys.
bool isText(const QByteArray &bytes)
{
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        if ((value < 0x20 && value != '\t' && value != '\r' && value != '\n') || value == 0x7f)
            return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8.decode(bytes);
    return !utf8.hasError();
}

// Each is false for a value of the wrong type; a missing key leaves the default.
bool readText(const QSettings &file, const TextKey &key, RememberedSettings &into)
{
    const QString name = QLatin1String(key.name);
    if (!file.contains(name))
        return true;
    const QVariant value = file.value(name);
    if (value.typeId() != QMetaType::QString)
        return false;
    into.*key.field = value.toString();
    return true;
}

// A switch is written as "true" or "false" and read back as that text (or as the value itself,
// while QSettings still holds what this run saved); nothing else is a switch.
bool readSwitch(const QSettings &file, const SwitchKey &key, RememberedSettings &into)
{
    const QString name = QLatin1String(key.name);
    if (!file.contains(name))
        return true;
    const QVariant value = file.value(name);
    if (value.typeId() == QMetaType::Bool) {
        into.*key.field = value.toBool();
        return true;
    }
    const QString text = value.typeId() == QMetaType::QString ? value.toString() : QString();
    if (text != QLatin1String("true") && text != QLatin1String("false"))
        return false;
    into.*key.field = text == QLatin1String("true");
    return true;
}

} // namespace

RememberedSettings defaultSettings()
{
    RememberedSettings defaults;
    defaults.isRemembering = false;
    defaults.port = QStringLiteral("8080");
    defaults.maxThreads = QStringLiteral("255");
    defaults.isLogging = false;
    defaults.logPath = Form1::logPathInFolder(QCoreApplication::applicationDirPath());
    defaults.onlyAllowed = false;
    defaults.allow = QString::fromLatin1(kAllowDefault);
    defaults.isChanging = false;
    defaults.change = QString::fromLatin1(kChangeDefault);
    defaults.isRemoving = true;
    defaults.remove = QString::fromLatin1(kRemoveDefault);
    defaults.isAdding = false;
    defaults.add = QString::fromLatin1(kAddDefault);
    defaults.isRemovingResponse = false;
    defaults.removeResponse = QString::fromLatin1(kRemoveResponseDefault);
    defaults.isInspecting = false;
    defaults.noInspect = QString();
    return defaults;
}

QString rememberedSettingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/vesktor/vesktor.conf");
}

RememberedSettingsLoad loadRememberedSettings(const QString &path)
{
    RememberedSettingsLoad load;
    load.settings = defaultSettings();
    // Symlinks followed: what counts is the file that would be read. Anything but a regular
    // file (a FIFO would block the start for ever, a device never end) is not even opened.
    const QFileInfo info(path);
    if (!info.exists()) {
        load.kind = SettingsFileKind::Missing;
        return load;
    }
    if (!info.isFile()) {
        load.kind = SettingsFileKind::NotARegularFile;
        return load;
    }
    load.kind = SettingsFileKind::Corrupt;
    QFile bytes(path);
    if (info.size() > kMaxSettingsFileBytes || !bytes.open(QIODevice::ReadOnly))
        return load;
    // Read to one byte past the bound, in case the file grew since it was measured.
    const QByteArray content = bytes.read(kMaxSettingsFileBytes + 1);
    if (content.size() > kMaxSettingsFileBytes || !isText(content))
        return load;
    const QSettings file(path, QSettings::IniFormat);
    if (file.status() != QSettings::NoError)
        return load;
    RememberedSettings read = load.settings;
    if (!readSwitch(file, kRememberKey, read))
        return load;
    if (!read.isRemembering) {
        load.kind = SettingsFileKind::NotRemembering;
        return load;
    }
    bool isUsable = true;
    for (const TextKey &key : kTextKeys)
        isUsable = isUsable && readText(file, key, read);
    for (const SwitchKey &key : kSwitchKeys)
        isUsable = isUsable && readSwitch(file, key, read);
    // All or nothing: a file with one bad value is not the user's settings any more.
    if (isUsable) {
        load.settings = read;
        load.kind = SettingsFileKind::Remembering;
    }
    return load;
}

bool setAsideCorruptSettings(const QString &path)
{
    const QString asideName = path + QStringLiteral(".bad");
    QFile::remove(asideName);
    return QFile::rename(path, asideName);
}

bool saveRememberedSettings(const QString &path, const RememberedSettings &settings)
{
    // QSettings makes the folder, and replaces the file whole or not at all.
    QSettings file(path, QSettings::IniFormat);
    for (const TextKey &key : kTextKeys)
        file.setValue(QLatin1String(key.name), settings.*key.field);
    for (const SwitchKey &key : kSwitchKeys)
        file.setValue(QLatin1String(key.name), settings.*key.field);
    file.sync();
    return file.status() == QSettings::NoError;
}

bool forgetRememberedSettings(const QString &path)
{
    if (loadRememberedSettings(path).kind != SettingsFileKind::Remembering)
        return true;
    return QFile::remove(path);
}

// No message box at start: a corrupt file is set aside for the user, and the window opens as at
// its very first start. So does every start without a file that says to remember.
void Form1::Form_Load()
{
    const QString path = rememberedSettingsPath();
    const RememberedSettingsLoad loaded = loadRememberedSettings(path);
    if (loaded.kind == SettingsFileKind::Corrupt)
        setAsideCorruptSettings(path);
    showSettings(loaded.settings);
}

RememberedSettings Form1::shownSettings() const
{
    RememberedSettings shown;
    shown.isRemembering = chkRemember->isChecked();
    shown.port = txtPort->text();
    shown.maxThreads = txtMaxThr->text();
    shown.isLogging = chkLog->isChecked();
    shown.logPath = txtLogPath->text();
    shown.onlyAllowed = Option2->isChecked();
    shown.allow = listBoxText(txtAllow);
    shown.isChanging = chkChange->isChecked();
    shown.change = listBoxText(txtChange);
    shown.isRemoving = chkRemove->isChecked();
    shown.remove = listBoxText(txtRemove);
    shown.isAdding = chkAdd->isChecked();
    shown.add = listBoxText(txtAdd);
    shown.isRemovingResponse = chkRemoveResponse->isChecked();
    shown.removeResponse = listBoxText(txtRemoveResponse);
    shown.isInspecting = chkInspect->isChecked();
    shown.noInspect = listBoxText(txtNoInspect);
    return shown;
}

void Form1::showSettings(const RememberedSettings &settings)
{
    chkRemember->setChecked(settings.isRemembering);
    txtPort->setText(settings.port);
    txtMaxThr->setText(settings.maxThreads);
    chkLog->setChecked(settings.isLogging);
    txtLogPath->setText(settings.logPath);
    (settings.onlyAllowed ? Option2 : Option1)->setChecked(true);
    setListBoxText(txtAllow, settings.allow);
    chkChange->setChecked(settings.isChanging);
    setListBoxText(txtChange, settings.change);
    chkRemove->setChecked(settings.isRemoving);
    setListBoxText(txtRemove, settings.remove);
    chkAdd->setChecked(settings.isAdding);
    setListBoxText(txtAdd, settings.add);
    chkRemoveResponse->setChecked(settings.isRemovingResponse);
    setListBoxText(txtRemoveResponse, settings.removeResponse);
    chkInspect->setChecked(settings.isInspecting);
    setListBoxText(txtNoInspect, settings.noInspect);
    // A switch that kept its state sent no toggled signal: its box follows it here, as after a
    // click.
    chkLog_Click();
    Option1_Click();
    chkChange_Click();
    chkRemove_Click();
    chkAdd_Click();
    chkRemoveResponse_Click();
}

// Ticked, the settings are saved; unticked, a file saved by an earlier run is removed, so that
// the next start begins from the defaults. A failure is told and changes nothing else: the
// start or the exit goes on, and the file that was there stays as it was.
void Form1::keepOrForgetSettings()
{
    const QString path = rememberedSettingsPath();
    if (chkRemember->isChecked()) {
        if (!saveRememberedSettings(path, shownSettings()))
            MsgBox(this, QStringLiteral("The settings could not be saved to %1.").arg(path),
                   MessageButtons::Ok, MessageIcon::Critical);
    } else if (!forgetRememberedSettings(path)) {
        MsgBox(this, QStringLiteral("The settings could not be removed from %1.").arg(path),
               MessageButtons::Ok, MessageIcon::Critical);
    }
}

void Form1::cmdDefaults_Click()
{
    if (MsgBox(this, QStringLiteral("Put back the default settings?"), MessageButtons::YesNo,
               MessageIcon::Question) == MessageAnswer::Yes)
        showSettings(defaultSettings());
}
