#include "app/panel_places.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "skin/winpicture.h"

namespace tavex {

QStringList SkinFolderCandidates(const QString& workingFolder, const QString& programFolder,
                                 const QStringList& dataFolders) {
    QStringList candidates;
    const auto add = [&candidates](const QString& folder) {
        if (folder.isEmpty()) return;
        const QString clean = QDir::cleanPath(QDir(folder).absolutePath());
        if (!candidates.contains(clean)) candidates << clean;
    };
#ifdef _WIN32
    Q_UNUSED(workingFolder);
    Q_UNUSED(dataFolders);
    add(programFolder);
#else
    add(workingFolder);
    add(programFolder);
    if (!programFolder.isEmpty()) add(QDir(programFolder).filePath(QStringLiteral("../share/tavex")));
    for (const QString& data : dataFolders) {
        if (!data.isEmpty()) add(QDir(data).filePath(QStringLiteral("tavex")));
    }
#endif
    return candidates;
}

QStringList SkinFolderCandidates() {
    return SkinFolderCandidates(QDir::currentPath(), QCoreApplication::applicationDirPath(),
                                QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation));
}

QString FindSkinFolder(const QStringList& candidates) {
    QString partial;
    for (const QString& folder : candidates) {
        const int count = SkinFilesIn(folder);
        if (count == kSkinFileCount) return folder;
        if (count > 0 && partial.isEmpty()) partial = folder;
    }
    return partial;
}

QString LanguageFolder(const QString& skinFolder, const QString& workingFolder,
                       const QString& userFolder) {
    const QString working = QDir::cleanPath(QDir(workingFolder).absolutePath());
    if (!skinFolder.isEmpty() && QDir::cleanPath(QDir(skinFolder).absolutePath()) == working) {
        const QFileInfo info(working);
        if (info.isDir() && info.isWritable()) return working;
    }
    return userFolder;
}

QString LanguageFolder(const QString& skinFolder) {
#ifdef _WIN32
    // The install folder is not the user's to write: the language stays with the user.
    Q_UNUSED(skinFolder);
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Tavex");
#else
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return LanguageFolder(skinFolder, QDir::currentPath(),
                          config.isEmpty() ? QString() : config + QStringLiteral("/tavex"));
#endif
}

QString OldLanguageFolder() {
#ifdef _WIN32
    return QString();
#else
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return data.isEmpty() ? QString() : data + QStringLiteral("/tavex");
#endif
}

std::uint8_t DesktopLanguage(const QLocale& locale) {
    return locale.language() == QLocale::Russian ? 0 : 1;
}

QString PlatformForSession(const std::function<QString(const char*)>& getenv) {
    const QString chosen = getenv("QT_QPA_PLATFORM");
    if (getenv("WAYLAND_DISPLAY").isEmpty() || getenv("DISPLAY").isEmpty()) return QString();
    if (!chosen.isEmpty() && !chosen.startsWith(QLatin1String("wayland"))) return QString();
    return QStringLiteral("xcb");
}

void ChoosePlatformForSession() {
#ifndef _WIN32
    const QString platform =
        PlatformForSession([](const char* name) { return qEnvironmentVariable(name); });
    if (!platform.isEmpty()) qputenv("QT_QPA_PLATFORM", platform.toUtf8());
#endif
}

QString MissingSkinText(std::uint8_t language, const QStringList& searched) {
    const QString folders = QStringLiteral("\n  ") + searched.join(QStringLiteral("\n  "));
    if (language == 1) {
        return QStringLiteral("The panel's skin files were not found. Tavex looked in:") + folders +
               QStringLiteral("\nInstall Tavex again, or start it in the folder that holds its "
                              "*.dat files.");
    }
    return QStringLiteral("Не найдены файлы оформления панели. Просмотрены папки:") + folders +
           QStringLiteral("\nУстановите Tavex заново или запустите программу из папки с её "
                          "файлами *.dat.");
}

}  // namespace tavex
