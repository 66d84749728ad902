#include <QAbstractButton>
#include <QMessageBox>
#include <atomic>
#include <numeric>
#include <thread>

#include "tests/ui/DialogFixture.h"

namespace talvik::test {
namespace {

TEST(MessageBoxPortTest, TypeGivesIconAndButtonsAndThePressedButtonComesBack) {
    QWidget owner;
    QtMessageBox port(&owner);
    const QString ok = "确定", yes = "是(&Y)", no = "否(&N)";
    struct Case {
        unsigned type;
        QString press;  // empty closes the box
        int result;
        QMessageBox::Icon icon;
        QStringList buttons;
    } cases[] = {
        {kMbOk, ok, kIdOk, QMessageBox::NoIcon, {ok}},
        {kMbIconInformation, ok, kIdOk, QMessageBox::Information, {ok}},
        {kMbIconStop, ok, kIdOk, QMessageBox::Critical, {ok}},
        {kMbYesNo | kMbIconQuestion, yes, kIdYes, QMessageBox::Question, {no, yes}},
        {kMbYesNo | kMbIconQuestion, no, kIdNo, QMessageBox::Question, {no, yes}},
        {kMbYesNo | kMbIconQuestion, "", kIdNo, QMessageBox::Question, {no, yes}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const auto open = [&] {
            EXPECT_EQ(port.MessageBox("<b>文本", "Talvik", c.type), c.result);
        };
        const auto answer = [&](QMessageBox& box) {
            EXPECT_EQ(box.windowTitle(), "Talvik");
            EXPECT_EQ(box.text(), "<b>文本");
            EXPECT_EQ(box.textFormat(), Qt::PlainText);
            EXPECT_EQ(box.icon(), c.icon);
            QStringList buttons;
            for (QAbstractButton* button : box.buttons()) {
                buttons << button->text();
                if (button->text() == c.press) {
                    button->click();
                }
            }
            buttons.sort();
            EXPECT_EQ(buttons, c.buttons);
            if (box.isVisible()) {
                box.reject();
            }
        };
        EXPECT_EQ(WithModal<QMessageBox>(open, answer), &owner);
    }
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
                    offThread += std::this_thread::get_id() != uiThread;
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
    std::vector<int> inOrder(kEach);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    EXPECT_EQ(seen, std::vector<std::vector<int>>(kThreads, inOrder));
}

TEST(UiPosterTest, NothingRunsOnceTheWindowIsGone) {
    int ran = 0;
    auto context = std::make_unique<QObject>();
    auto poster = std::make_shared<QtUiPoster>(context.get());
    poster->Post([&] { ++ran; });  // still queued when its context goes
    poster->Detach();
    context.reset();
    poster->Post([&] { ++ran; });
    std::thread([&] { poster->Post([&] { ++ran; }); }).join();
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, 0);
}

}  // namespace
}  // namespace talvik::test
