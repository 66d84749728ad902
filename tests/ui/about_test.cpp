// SPDX-License-Identifier: GPL-3.0-or-later
// The about commands: the record handed to the stand-in library, its release, and the fall-back
// to the built-in dialog.
#include <dlfcn.h>

#include "os/AboutInfo.h"
#include "os/AboutLibrary.h"
#include "tests/ui/DialogFixture.h"
#include "ui/AboutDlg.h"

namespace talvik::test {
namespace {

bool IsLoaded(const std::string& name) {
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
}

// Where the stand-in library saves the record it is handed.
struct RecordFile {
    RecordFile() { qputenv("TALVIK_ABOUT_RECORD", path.toLocal8Bit()); }
    ~RecordFile() { qunsetenv("TALVIK_ABOUT_RECORD"); }
    QByteArray bytes() const {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QTemporaryDir dir;
    QString path = dir.filePath("record.bin");
};

TEST(AboutLibraryTest, HandsTheRecordToTheEntryAndReleasesTheLibrary) {
    RecordFile record;
    ASSERT_FALSE(IsLoaded(kAboutLibraryName));
    ASSERT_TRUE(DlopenAboutLibrary().ShowAbout(0xC0DE1234u))
        << "the stand-in library must be on LD_LIBRARY_PATH (run through ctest)";
    EXPECT_FALSE(IsLoaded(kAboutLibraryName));

    // Size and icon little-endian, zeros to offset 76, then three texts each zero-padded.
    const auto field = [](QByteArray text, int size) { return text.leftJustified(size, '\0'); };
    const QByteArray expected = QByteArray::fromHex("580700003412dec0") + QByteArray(68, '\0') +
                                field("Talvik", 260) + field("Release: 1.0", 260) +
                                field("\r\n", 1284);
    EXPECT_EQ(record.bytes().toHex().toStdString(), expected.toHex().toStdString());
}

class AboutCommandTest : public DialogTest {
protected:
    void Open(const std::string& library) {
        aboutLibrary = std::make_shared<DlopenAboutLibrary>(library);
        DialogTest::SetUp();
    }
    void SetUp() override {}

    // Whether `command` shows the built-in dialog, owned by the window and saying who it is.
    bool ShowsBuiltIn(const std::function<void()>& command) {
        const std::optional<QWidget*> owner = WithModal<CAboutDlg>(command, [](CAboutDlg& d) {
            EXPECT_EQ(d.windowTitle(), "Talvik");
            EXPECT_EQ(d.findChild<QLabel*>(QStringLiteral("IDC_VERSION_TEXT"))->text(),
                      "Talvik 1.0.0 版");
            EXPECT_FALSE(d.findChild<QLabel*>(QStringLiteral("IDI_ABOUT"))->pixmap().isNull());
            EXPECT_TRUE(d.findChild<QLabel*>(QStringLiteral("licence"))
                            ->text()
                            .contains(QStringLiteral("GPL-3.0-or-later")));
            for (const QLabel* label : d.findChildren<QLabel*>()) {
                EXPECT_FALSE(label->text().contains(u'@')) << "no contact address";
            }
            QTest::keyClick(d.focusWidget() ? d.focusWidget() : &d, Qt::Key_Return);
        });
        EXPECT_TRUE(!owner || *owner == dialog.get());
        return owner.has_value();
    }

    RecordFile record;
};

TEST_F(AboutCommandTest, AboutSoftwareUsesTheLibraryOnlyWhenItHasTheEntry) {
    Open(kAboutLibraryName);
    EXPECT_FALSE(ShowsBuiltIn([&] { dialog->menuAction(ID_ABOUT_SOFTWARE)->trigger(); }));
    ASSERT_EQ(record.bytes().size(), 1880);
    EXPECT_EQ(record.bytes().mid(4, 4), QByteArray::fromHex("80000000"));  // the main icon
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(AboutCommandTest, AboutSoftwareFallsBackToTheBuiltInDialogAndReleasesTheLibrary) {
    // The probe itself sees a library that is still held.
    void* held = dlopen(TALVIK_TEST_ABOUTLIB_WITHOUT_ENTRY, RTLD_NOW);
    ASSERT_NE(held, nullptr) << dlerror();
    EXPECT_TRUE(IsLoaded(TALVIK_TEST_ABOUTLIB_WITHOUT_ENTRY));
    dlclose(held);

    const QTemporaryDir empty;
    for (const std::string& path :
         {std::string(TALVIK_TEST_ABOUTLIB_WITHOUT_ENTRY),
          empty.filePath(QString::fromLatin1(kAboutLibraryName)).toStdString()}) {
        Open(path);
        EXPECT_TRUE(ShowsBuiltIn([&] { dialog->toolAction(ID_ABOUT_SOFTWARE)->trigger(); }));
        EXPECT_FALSE(IsLoaded(path)) << path;
    }
    EXPECT_TRUE(record.bytes().isEmpty());  // the missing entry was never called
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(AboutCommandTest, WindowMenuAboutAlwaysShowsTheBuiltInDialog) {
    Open(kAboutLibraryName);
    for (unsigned command : {16u, 16u + 0x3u, 31u}) {
        EXPECT_TRUE(ShowsBuiltIn([&] { dialog->OnSysCommand(command); })) << command;
    }
    EXPECT_FALSE(ShowsBuiltIn([&] { dialog->OnSysCommand(32); }));
    QMenu* menu = dialog->windowMenu();
    EXPECT_TRUE(menu->actions().at(menu->actions().size() - 2)->isSeparator());
    EXPECT_EQ(menu->actions().last()->text(), "关于 Talvik(&A)...");
    EXPECT_TRUE(ShowsBuiltIn([&] { menu->actions().last()->trigger(); }));
    EXPECT_TRUE(record.bytes().isEmpty());
}

}  // namespace
}  // namespace talvik::test
