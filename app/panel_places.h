#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

namespace tavex {

// Where the panel finds its skin and help pages, and keeps its language file, wherever it was
// started from.

// The folders that may hold the skin, in the order they are tried: the working folder, the
// program's own folder (a build's run folder), the installed share folder beside it
// (../share/tavex), then tavex in each data folder (the user's first). Windows: the program's
// folder only.
QStringList SkinFolderCandidates(const QString& workingFolder, const QString& programFolder,
                                 const QStringList& dataFolders);
QStringList SkinFolderCandidates();

// The first candidate that holds the whole skin; else the first that holds part of it (whose
// trouble the panel then tells); empty when none holds a skin file at all.
QString FindSkinFolder(const QStringList& candidates);

// The folder of the language file: the working folder when it is the skin's folder and may be
// written (a build's run folder), else tavex in the user's configuration folder (Windows: Tavex
// in the user's local application data). The caller makes it; not there, nothing is stored.
QString LanguageFolder(const QString& skinFolder, const QString& workingFolder,
                       const QString& userFolder);
QString LanguageFolder(const QString& skinFolder);

// The folder where an earlier installation kept the language file (its launcher's working
// folder), or empty where there was none.
QString OldLanguageFolder();

// The desktop's language as the interface's: Russian (0) for a Russian locale, else English (1).
std::uint8_t DesktopLanguage(const QLocale& locale = QLocale::system());

// The Qt platform to ask for, or empty to leave Qt's choice: on a Wayland session with XWayland
// at hand, X11, since the panel moves its own windows (a drag by the title strip, the menu
// beside it), which Wayland does not let a program do. A platform named by the user stays.
QString PlatformForSession(const std::function<QString(const char*)>& getenv);
// Sets QT_QPA_PLATFORM accordingly; before the application object is made.
void ChoosePlatformForSession();

// The message when no folder holds the skin, in the interface language.
QString MissingSkinText(std::uint8_t language, const QStringList& searched);

}  // namespace tavex
