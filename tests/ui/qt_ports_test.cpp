#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <thread>
#include <vector>

#include "tests/ui/QtPrinting.h"
#include "ui/QtPorts.h"

namespace talvik {
namespace {

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    Qt::TextFormat format = Qt::AutoText;
};

// Shows a box through the port, records it and presses the button with `press` as its text.
int ShowBox(QtMessageBox& port, unsigned type, const QString& press, SeenBox& seen,
            const std::string& text = "文本") {
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.format = box->textFormat();
        for (QAbstractButton* button : box->buttons()) {
            seen.buttons << button->text();
        }
        for (QAbstractButton* button : box->buttons()) {
            if (button->text() == press) {
                button->click();
                return;
            }
        }
        box->reject();
    });
    return port.MessageBox(text, "Talvik", type);
}

TEST(MessageBoxPortTest, TypeGivesIconAndButtons) {
    QWidget owner;
    QtMessageBox port(&owner);
    SeenBox seen;

    EXPECT_EQ(ShowBox(port, kMbOk, "确定", seen), kIdOk);
    EXPECT_EQ(seen.title, "Talvik");
    EXPECT_EQ(seen.text, "文本");
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen.buttons, QStringList{"确定"});
    EXPECT_EQ(seen.format, Qt::PlainText);

    for (auto [type, icon] : {std::pair{kMbIconInformation, QMessageBox::Information},
                              std::pair{kMbIconStop, QMessageBox::Critical}}) {
        seen = {};
        EXPECT_EQ(ShowBox(port, type, "确定", seen), kIdOk);
        EXPECT_EQ(seen.icon, icon);
    }

    seen = {};
    EXPECT_EQ(ShowBox(port, kMbYesNo | kMbIconQuestion, "是(&Y)", seen), kIdYes);
    EXPECT_EQ(seen.icon, QMessageBox::Question);
    EXPECT_EQ(seen.buttons.size(), 2);
    EXPECT_TRUE(seen.buttons.contains("是(&Y)"));
    EXPECT_TRUE(seen.buttons.contains("否(&N)"));
    seen = {};
    EXPECT_EQ(ShowBox(port, kMbYesNo | kMbIconQuestion, "否(&N)", seen), kIdNo);
    // Closing a question without answering is a No.
    seen = {};
    EXPECT_EQ(ShowBox(port, kMbYesNo | kMbIconQuestion, "", seen), kIdNo);
}

TEST(UiPosterTest, ClosuresFromManyThreadsRunOnTheUiThreadInPostOrder) {
    QObject context;
    auto poster = std::make_shared<QtUiPoster>(&context);
    constexpr int kThreads = 8;
    constexpr int kEach = 200;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<int> offThread{0};
    const auto uiThread = std::this_thread::get_id();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                poster->Post([&, t, i] {
                    if (std::this_thread::get_id() != uiThread) {
                        ++offThread;
                    }
                    seen[t].push_back(i);
                });
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(offThread.load(), 0);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<size_t>(kEach));
        for (int i = 0; i < kEach; ++i) {
            EXPECT_EQ(seen[t][i], i);
        }
    }
}

TEST(UiPosterTest, NothingRunsOnceTheWindowIsGone) {
    int ran = 0;
    auto context = std::make_unique<QObject>();
    auto poster = std::make_shared<QtUiPoster>(context.get());
    poster->Post([&] { ++ran; });  // still queued when its context goes
    poster->Detach();
    context.reset();
    poster->Post([&] { ++ran; });
    std::thread late([&] { poster->Post([&] { ++ran; }); });
    late.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, 0);
}

}  // namespace
}  // namespace talvik
