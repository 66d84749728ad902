// The about commands: the record handed to the external library, the library's release, the
// fall-back to the built-in dialog, and that dialog itself.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/AboutInfo.h"
#include "platform/AboutLibrary.h"
#include "tests/ui/TextFits.h"
#include "ui/AboutDlg.h"
#include "ui/DialogUnits.h"

namespace talvik {
namespace {

bool IsLoaded(const char* name) {
    void* handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

// Where the stand-in library saves the record it is handed.
class RecordFile final {
public:
    RecordFile() : path_(dir_.filePath(QStringLiteral("record.bin"))) {
        setenv("TALVIK_ABOUT_RECORD", path_.toLocal8Bit().constData(), 1);
    }
    ~RecordFile() { unsetenv("TALVIK_ABOUT_RECORD"); }
    bool exists() const { return QFile::exists(path_); }
    std::vector<unsigned char> bytes() const {
        QFile file(path_);
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        const QByteArray data = file.readAll();
        return std::vector<unsigned char>(data.begin(), data.end());
    }

private:
    QTemporaryDir dir_;
    QString path_;
};

std::uint32_t ReadLe32(const std::vector<unsigned char>& bytes, std::size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

TEST(AboutLibrary, HandsTheRecordToTheEntryAndReleasesTheLibrary) {
    RecordFile record;
    ASSERT_FALSE(IsLoaded(kAboutLibraryName));
    DlopenAboutLibrary library;
    ASSERT_TRUE(library.ShowAbout(0xC0DE1234u))
        << "the stand-in library must be on LD_LIBRARY_PATH (run through ctest)";
    EXPECT_FALSE(IsLoaded(kAboutLibraryName));

    const std::vector<unsigned char> bytes = record.bytes();
    ASSERT_EQ(bytes.size(), 1880u);
    EXPECT_EQ(ReadLe32(bytes, 0), 1880u);
    EXPECT_EQ(ReadLe32(bytes, 4), 0xC0DE1234u);
    std::vector<unsigned char> expected(1880, 0);
    const auto put = [&](std::size_t offset, const char* text) {
        std::memcpy(expected.data() + offset, text, std::strlen(text));
    };
    expected[0] = 1880 & 0xFF;
    expected[1] = 1880 >> 8;
    expected[4] = 0x34;
    expected[5] = 0x12;
    expected[6] = 0xDE;
    expected[7] = 0xC0;
    put(76, "Talvik");
    put(336, "Release: 1.0");
    put(596, "\r\n");
    // Every other byte, the reserved ones and the tails of the texts included, is zero.
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(bytes[i], expected[i]) << "at offset " << i;
    }
}

TEST(AboutLibrary, TheReleaseProbeSeesALibraryThatIsStillHeld) {
    // Guards the check above: a held library must be reported as loaded.
    void* held = dlopen(TALVIK_TEST_ABOUTLIB_WITHOUT_ENTRY, RTLD_NOW);
    ASSERT_NE(held, nullptr) << dlerror();
    EXPECT_TRUE(IsLoaded(TALVIK_TEST_ABOUTLIB_WITHOUT_ENTRY));
    dlclose(held);
    EXPECT_FALSE(IsLoaded(TALVIK_TEST_ABOUTLIB_WITHOUT_ENTRY));
}

TEST(AboutLibrary, MissingEntryOrMissingLibraryFallsBack) {
    RecordFile record;
    DlopenAboutLibrary withoutEntry(TALVIK_TEST_ABOUTLIB_WITHOUT_ENTRY);
    EXPECT_FALSE(withoutEntry.ShowAbout(kAboutMainIcon));
    EXPECT_FALSE(IsLoaded(TALVIK_TEST_ABOUTLIB_WITHOUT_ENTRY));

    const QTemporaryDir empty;
    DlopenAboutLibrary absent(empty.filePath(QString::fromLatin1(kAboutLibraryName)).toStdString());
    EXPECT_FALSE(absent.ShowAbout(kAboutMainIcon));
    EXPECT_FALSE(record.exists());
}

// Records the built-in dialogs a command shows instead of running them.
struct ShownDialogs {
    int count = 0;
    QString caption;
    QString version;
    DialogRunner<CAboutDlg> runner() {
        return [this](CAboutDlg& d) {
            ++count;
            caption = d.windowTitle();
            version = d.findChild<QLabel*>(QStringLiteral("IDC_VERSION_TEXT"))->text();
            return 1;
        };
    }
};

TEST(AboutCommands, AboutSoftwareUsesTheLibraryOnlyWhenItHasTheEntry) {
    RecordFile record;
    ShownDialogs shown;
    DlopenAboutLibrary present;
    ShowAboutSoftware(present, kAboutMainIcon, nullptr, shown.runner());
    EXPECT_EQ(shown.count, 0);
    ASSERT_TRUE(record.exists());
    EXPECT_EQ(ReadLe32(record.bytes(), 4), 128u);

    DlopenAboutLibrary withoutEntry(TALVIK_TEST_ABOUTLIB_WITHOUT_ENTRY);
    ShowAboutSoftware(withoutEntry, kAboutMainIcon, nullptr, shown.runner());
    EXPECT_EQ(shown.count, 1);
    EXPECT_EQ(shown.caption, QStringLiteral("Talvik"));
    EXPECT_EQ(shown.version, QStringLiteral("Talvik 1.0.0 版"));
}

TEST(AboutCommands, WindowMenuItemIsRecognisedByItsUpperBits) {
    for (unsigned command = 16; command <= 31; ++command) {
        EXPECT_TRUE(IsAboutBoxCommand(command)) << command;
    }
    for (unsigned command : {0u, 15u, 32u, 48u, 0xF060u, 0xF010u}) {
        EXPECT_FALSE(IsAboutBoxCommand(command)) << command;
    }
}

TEST(AboutDialog, ShowsTheProgramAndClosesOnEveryUsualKey) {
    CAboutDlg d;
    const DialogUnits du(d.font());
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Talvik"));
    EXPECT_EQ(d.size(), du.size(219, 63));
    const auto* version = d.findChild<QLabel*>(QStringLiteral("IDC_VERSION_TEXT"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), QStringLiteral("Talvik 1.0.0 版"));
    EXPECT_EQ(version->textFormat(), Qt::PlainText);
    const auto* ok = d.findChild<QPushButton*>(QStringLiteral("IDOK"));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), QStringLiteral("确定"));
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(ClippedTexts(d).join(QStringLiteral(" | ")).toStdString(), "");
    const auto* icon = d.findChild<QLabel*>(QStringLiteral("IDI_ABOUT"));
    ASSERT_NE(icon, nullptr);
    // The picture may not be built in yet; when it is, the dialog must show it.
    EXPECT_EQ(!icon->pixmap().isNull(), QFile::exists(QStringLiteral(":/about-32.png")));

    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape, Qt::Key_Space}) {
        CAboutDlg dialog;
        QTimer::singleShot(0, &dialog, [&dialog, key] {
            QTest::keyClick(dialog.focusWidget() != nullptr ? dialog.focusWidget() : &dialog, key);
        });
        QTimer::singleShot(5000, &dialog, [&dialog] {
            ADD_FAILURE() << "the about dialog was left open";
            dialog.done(-1);
        });
        const int result = dialog.exec();
        EXPECT_EQ(result, key == Qt::Key_Escape ? QDialog::Rejected : QDialog::Accepted) << key;
    }
}

}  // namespace
}  // namespace talvik
