// tavex-skingen OUTDIR: writes the panel's 23 skin files into OUTDIR.
//
// The output is byte-for-byte the same on every run: no time stamps, no randomness, and the
// face is loaded from a fixed file rather than whatever fontconfig would pick.

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <cstdio>
#include <utility>
#include <vector>

#include "art.h"
#include "fileio/safe_file.h"

namespace skingen {
namespace {

const char* const kRegularFace = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const char* const kBoldFace = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
QString g_family;

bool LoadFaces() {
    for (const char* path : {kRegularFace, kBoldFace}) {
        const int id = QFontDatabase::addApplicationFont(QString::fromUtf8(path));
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (id < 0 || families.isEmpty()) {
            std::fprintf(stderr,
                         "tavex-skingen: cannot load the font %s (Debian package "
                         "fonts-dejavu-core)\n",
                         path);
            return false;
        }
        g_family = families.first();
    }
    return true;
}

bool WriteBytes(const QDir& dir, const char* name, const QByteArray& bytes) {
    const std::string path = QFile::encodeName(dir.filePath(QString::fromUtf8(name))).toStdString();
    std::string error;
    if (!tavex::ReplaceWholeFile(path, bytes.constData(), static_cast<std::size_t>(bytes.size()),
                            error)) {
        std::fprintf(stderr, "tavex-skingen: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool WriteImage(const QDir& dir, const char* name, const QImage& image) {
    // RGB32 is written as a 24-bit bitmap without alpha.
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (image.isNull() || !image.save(&buffer, "BMP")) {
        std::fprintf(stderr, "tavex-skingen: cannot draw %s\n", name);
        return false;
    }
    return WriteBytes(dir, name, bytes);
}

// Files whose presence the program checks but whose content it never reads.
bool WriteEmpty(const QDir& dir, const char* name) {
    return WriteBytes(dir, name, QByteArray());
}

}  // namespace

QFont UiFont(int pixelSize, bool bold) {
    QFont font(g_family);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setStyleStrategy(QFont::NoFontMerging);
    return font;
}

}  // namespace skingen

int main(int argc, char** argv) {
    using namespace skingen;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");  // no display needed to draw
    }
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tavex-skingen OUTDIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "tavex-skingen: cannot create %s\n", argv[1]);
        return 1;
    }
    if (!LoadFaces()) return 1;

    const QImage plain = PlainPicture();
    const std::vector<std::pair<const char*, QImage>> images = {
        {"mdpek.dat", Panel()},
        {"mdmedsr.dat", DisplayStrip()},
        {"mdmner.dat", MenuStrip()},
        {"mddwen.dat", KeyPicture(Key::Enter)},
        {"mddwur.dat", KeyPicture(Key::Up)},
        {"mddwmn.dat", KeyPicture(Key::Down)},
        {"mddwmz.dat", ButtonPicture(Button::Minimise)},
        {"mdswcl.dat", ButtonPicture(Button::Close)},
        {"mdswhl.dat", ButtonPicture(Button::Help)},
        {"mdswon.dat", LampPicture()},
        // Loaded by the program but never shown.
        {"mdwnm.dat", plain},
        {"rdswup.dat", plain},
        {"pdswup.dat", plain},
        {"rdswmn.dat", plain},
        {"pdswmn.dat", plain},
        {"rddwex.dat", plain},
        {"pddwex.dat", plain},
        {"rddwhl.dat", plain},
        {"pddwhl.dat", plain},
    };
    bool ok = true;
    for (const auto& [name, image] : images) ok = WriteImage(dir, name, image) && ok;
    for (const char* name : {"exgron.dat", "exyron.dat", "exrron.dat", "mdlbem.dat"}) {
        ok = WriteEmpty(dir, name) && ok;
    }
    return ok ? 0 : 1;
}
