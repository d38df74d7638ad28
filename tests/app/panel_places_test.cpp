#include "app/panel_places.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <map>
#include <string>

#include "app/tavex_m.h"

namespace tavex {
namespace {

#ifndef _WIN32
// A folder with the first count skin files of the build's run folder copied into it.
void CopySkin(const QString& into, int count) {
    QDir().mkpath(into);
    const QStringList names = QDir(TAVEX_RUN_DIR).entryList({"*.dat"}, QDir::Files, QDir::Name);
    ASSERT_EQ(names.size(), kSkinFileCount);
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(QFile::copy(QDir(TAVEX_RUN_DIR).filePath(names[i]), QDir(into).filePath(names[i])));
    }
}

// Started from anywhere: the working folder, the program's folder, the share folder beside it,
// then the data folders; a whole skin wins over a part, a part over nothing.
TEST(PanelPlaces, TheSkinIsFoundWhereverTheProgramStarts) {
    QTemporaryDir root;
    const QString r = root.path();
    const QStringList candidates =
        SkinFolderCandidates(r + "/start", r + "/prefix/bin", {r + "/home/data", "", r + "/usr"});
    EXPECT_EQ(candidates, (QStringList{r + "/start", r + "/prefix/bin", r + "/prefix/share/tavex",
                                       r + "/home/data/tavex", r + "/usr/tavex"}));
    // The program started from its own folder: listed once.
    EXPECT_EQ(SkinFolderCandidates(r + "/run", r + "/run", {}),
              (QStringList{r + "/run", r + "/share/tavex"}));

    EXPECT_EQ(FindSkinFolder(candidates), QString());
    CopySkin(r + "/usr/tavex", kSkinFileCount);
    EXPECT_EQ(FindSkinFolder(candidates), r + "/usr/tavex");
    CopySkin(r + "/home/data/tavex", 5);  // links left by an install that has gone
    EXPECT_EQ(FindSkinFolder(candidates), r + "/usr/tavex");
    CopySkin(r + "/prefix/share/tavex", kSkinFileCount);
    EXPECT_EQ(FindSkinFolder(candidates), r + "/prefix/share/tavex");
    CopySkin(r + "/start", kSkinFileCount);
    EXPECT_EQ(FindSkinFolder(candidates), r + "/start");
    EXPECT_EQ(FindSkinFolder({r + "/home/data/tavex", r + "/nowhere"}), r + "/home/data/tavex");

    // The language file: in the working folder only when that is the skin's folder (a build's
    // run folder), else the user's.
    EXPECT_EQ(LanguageFolder(r + "/start", r + "/start/", r + "/config/tavex"), r + "/start");
    EXPECT_EQ(LanguageFolder(r + "/prefix/share/tavex", r + "/start", r + "/config/tavex"),
              r + "/config/tavex");
    EXPECT_EQ(LanguageFolder(QString(), r + "/start", r + "/config/tavex"), r + "/config/tavex");

    const QString text = MissingSkinText(1, candidates);
    for (const QString& folder : candidates) EXPECT_TRUE(text.contains(folder)) << folder.toStdString();
    EXPECT_TRUE(MissingSkinText(0, candidates).startsWith(QStringLiteral("Не найдены")));
}

TEST(PanelPlaces, OnWaylandThePanelAsksForX11WhenItIsThere) {
    struct Case {
        const char* wayland;
        const char* display;
        const char* platform;
        const char* chosen;
    };
    for (const Case& c : {Case{"wayland-0", ":0", "", "xcb"}, Case{"wayland-0", ":0", "wayland", "xcb"},
                          Case{"wayland-0", ":0", "wayland-egl", "xcb"},
                          Case{"wayland-0", ":0", "offscreen", ""}, Case{"wayland-0", "", "", ""},
                          Case{"", ":0", "", ""}, Case{"", "", "wayland", ""}}) {
        const std::map<std::string, QString> env = {
            {"WAYLAND_DISPLAY", c.wayland}, {"DISPLAY", c.display}, {"QT_QPA_PLATFORM", c.platform}};
        EXPECT_EQ(PlatformForSession([&env](const char* name) { return env.at(name); }),
                  QString(c.chosen))
            << c.wayland << "|" << c.display << "|" << c.platform;
    }
}
#endif

TEST(PanelPlaces, TheDesktopsLanguageIsTheFirstOne) {
    for (const auto& [name, language] : std::map<const char*, int>{
             {"ru_RU", 0}, {"ru_UA", 0}, {"en_US", 1}, {"de_DE", 1}, {"uk_UA", 1}, {"C", 1}}) {
        EXPECT_EQ(DesktopLanguage(QLocale(QString::fromLatin1(name))), language) << name;
    }
}

// A first start speaks the desktop's language and keeps it; a language file an earlier
// installation left is taken over once; with no folder to keep it in, nothing is written.
TEST(PanelPlaces, TheFirstLanguageAndTheOldLanguageFile) {
    QTemporaryDir root;
    const QString user = root.path() + "/config/tavex";
    const QString old = root.path() + "/data/tavex";
    auto start = [&](std::uint8_t desktop, const QString& dataFolder) {
        PanelServices services;
        services.programFolder = root.path();
        services.dataFolder = dataFolder;
        services.desktopLanguage = [desktop] { return desktop; };
        auto form = std::make_unique<TForm1>(services);
        return form;
    };
    auto read = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
    };
    start(1, user);
    EXPECT_EQ(Language, 1);
    EXPECT_EQ(read(user + "/Lang"), "1");
    start(0, user);  // the file holds
    EXPECT_EQ(Language, 1);

    QDir().mkpath(old);
    QFile oldFile(old + "/Lang");
    ASSERT_TRUE(oldFile.open(QIODevice::WriteOnly));
    oldFile.write("0");
    oldFile.close();
    QFile::remove(user + "/Lang");
    auto form = start(1, user);
    form->TakeOverLanguageFile(old);
    EXPECT_EQ(read(user + "/Lang"), "1");  // the new file, written at the start, wins
    QFile::remove(user + "/Lang");
    form->TakeOverLanguageFile(old);
    EXPECT_EQ(read(user + "/Lang"), "0");
    ASSERT_TRUE(oldFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
    oldFile.write("7");
    oldFile.close();
    QFile::remove(user + "/Lang");
    form->TakeOverLanguageFile(old);
    EXPECT_EQ(read(user + "/Lang"), "(none)");

    // A folder that cannot be made (a file is in the way): the desktop's language, no file.
    QFile blocker(root.path() + "/blocked");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    start(0, root.path() + "/blocked/tavex");
    EXPECT_EQ(Language, 0);
    EXPECT_FALSE(QFile::exists(root.path() + "/blocked/tavex"));
    EXPECT_EQ(read(root.path() + "/blocked"), "");
}

#ifndef _WIN32
// Started from a folder without the skin, with the user's folders of its own: the language
// file goes to the user's configuration folder (taking over the one an earlier installation
// left), and nothing at all into the folder the program was started from.
TEST(PanelPlaces, NothingIsWrittenWhereTheProgramWasStarted) {
    QTemporaryDir root;
    const QString r = root.path();
    const QByteArray saved[3] = {qgetenv("XDG_CONFIG_HOME"), qgetenv("XDG_DATA_HOME"),
                                 qgetenv("XDG_DATA_DIRS")};
    qputenv("XDG_CONFIG_HOME", (r + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (r + "/data").toUtf8());
    qputenv("XDG_DATA_DIRS", (r + "/none").toUtf8());
    QDir().mkpath(r + "/data/tavex");
    QFile old(r + "/data/tavex/Lang");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("0");
    old.close();
    QDir().mkpath(r + "/start");
    const QString oldDir = QDir::currentPath();
    QDir::setCurrent(r + "/start");
    {
        PanelServices services;
        services.desktopLanguage = [] { return std::uint8_t{1}; };
        TForm1 form(services);
        EXPECT_EQ(Language, 0);
    }
    QDir::setCurrent(oldDir);
    for (int i = 0; i < 3; ++i) {
        const char* name[] = {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_DATA_DIRS"};
        if (saved[i].isNull()) {
            qunsetenv(name[i]);
        } else {
            qputenv(name[i], saved[i]);
        }
    }
    EXPECT_TRUE(QDir(r + "/start").isEmpty());
    QFile kept(r + "/config/tavex/Lang");
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "0");
}
#endif

}  // namespace
}  // namespace tavex
