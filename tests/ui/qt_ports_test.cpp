// SPDX-License-Identifier: GPL-3.0-or-later
#include <numeric>
#include <thread>

#include <QTextDocument>

#include "tests/support/FakeWires.h"
#include "tests/ui/DialogFixture.h"
#include "ui/WireListener.h"

namespace talvik::test {
namespace {

TEST(MessageBoxPortTest, TypeGivesIconAndButtonsAndThePressedButtonComesBack) {
    QWidget owner;
    QtMessageBox port(&owner);
    const struct {
        unsigned type;
        const char* press;  // nothing closes the box
        int result;
        QMessageBox::Icon icon;
    } cases[] = {
        {kMbOk, "确定", kIdOk, QMessageBox::NoIcon},
        {kMbIconInformation, "确定", kIdOk, QMessageBox::Information},
        {kMbIconStop, "确定", kIdOk, QMessageBox::Critical},
        {kMbYesNo | kMbIconQuestion, "是(&Y)", kIdYes, QMessageBox::Question},
        {kMbYesNo | kMbIconQuestion, "否(&N)", kIdNo, QMessageBox::Question},
        {kMbYesNo | kMbIconQuestion, "", kIdNo, QMessageBox::Question},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.press);
        const auto answer = [&](QMessageBox& box) {
            EXPECT_EQ(box.windowTitle(), "Talvik");
            // What the box shows is the text itself, markup, spaces and lines as they came.
            QTextDocument shown;
            shown.setHtml(box.text());
            EXPECT_EQ(shown.toPlainText(), "<b>文本 &amp;\n  setcap cap_net_raw+ep");
            EXPECT_EQ(box.icon(), c.icon);
            EXPECT_EQ(box.buttons().size(), c.result == kIdOk ? 1 : 2);
            for (QAbstractButton* button : box.buttons()) {
                if (button->text() == c.press) {
                    button->click();
                }
            }
            if (box.isVisible()) {
                box.reject();
            }
        };
        const auto show = [&] {
            EXPECT_EQ(port.MessageBox("<b>文本 &amp;\n  setcap cap_net_raw+ep", "Talvik", c.type),
                      c.result);
        };
        EXPECT_EQ(WithModal<QMessageBox>(show, answer), &owner);
    }
}

TEST(UiPosterTest, ClosuresFromManyThreadsRunOnTheUiThreadInPostOrderUntilDetached) {
    auto context = std::make_unique<QObject>();
    auto poster = std::make_shared<QtUiPoster>(context.get());
    std::vector<std::vector<int>> seen(8);
    int offThread = 0;
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                poster->Post([&, t, i] {
                    offThread += QThread::currentThread() != context->thread();
                    seen[t].push_back(i);
                });
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(offThread, 0);
    std::vector<int> inOrder(200);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    EXPECT_EQ(seen, std::vector<std::vector<int>>(seen.size(), inOrder));

    // Once the window is going away nothing runs, also what was still queued.
    int ran = 0;
    poster->Post([&] { ++ran; });
    poster->Detach();
    context.reset();
    poster->Post([&] { ++ran; });
    std::thread([&] { poster->Post([&] { ++ran; }); }).join();
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, 0);
}

}  // namespace
}  // namespace talvik::test

namespace talvik::test {
namespace {

// Only against a real service: notification-daemon.sh runs one on a private bus and sets this.
bool HasDaemonBus() {
    return !qEnvironmentVariableIsEmpty("TALVIK_NOTIFICATION_DAEMON");
}

TEST(DesktopNotificationsTest, ABusWithoutTheServiceHasNoneAvailable) {
    DesktopNotifications none(QDBusConnection(QStringLiteral("talvik-no-bus")));
    EXPECT_FALSE(none.Available());
}

TEST(DesktopNotificationsTest, TheDaemonTakesTheCallAndGivesAnId) {
    if (!HasDaemonBus()) {
        GTEST_SKIP() << "needs notification-daemon.sh";
    }
    DesktopNotifications notifications;
    ASSERT_TRUE(notifications.Available());
    store::WatchEvent event;
    event.address = 0xCB007105;
    event.mac = "00-16-3e-00-00-05";
    const auto text = NotificationOf(event, QStringLiteral("Xensource, Inc."));
    ASSERT_TRUE(text);
    QDBusPendingReply<uint> reply = notifications.Send(text->summary, text->body);
    reply.waitForFinished();
    ASSERT_FALSE(reply.isError()) << reply.error().message().toStdString();
    EXPECT_GT(reply.value(), 0u);

    // The one that answered is the daemon, as it names itself.
    const QDBusMessage information = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                       QStringLiteral("/org/freedesktop/Notifications"),
                                       QStringLiteral("org.freedesktop.Notifications"),
                                       QStringLiteral("GetServerInformation")));
    ASSERT_EQ(information.type(), QDBusMessage::ReplyMessage);
    ASSERT_EQ(information.arguments().size(), 4);
    EXPECT_EQ(information.arguments()[0].toString(),
              qEnvironmentVariable("TALVIK_NOTIFICATION_DAEMON"));
}

TEST(DesktopNotificationsTest, TheUpdatedNotificationReplacesItselfAtTheDaemon) {
    if (!HasDaemonBus()) {
        GTEST_SKIP() << "needs notification-daemon.sh";
    }
    DesktopNotifications notifications;
    notifications.Update(QStringLiteral("监视到的变化较多"), QStringLiteral("另有 1 项"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.UpdatedId() != 0; }, 5000));
    const uint first = notifications.UpdatedId();
    notifications.Update(QStringLiteral("监视到的变化较多"), QStringLiteral("另有 2 项"));
    QDBusPendingReply<uint> other = notifications.Send(QStringLiteral("发现新设备"), {});
    other.waitForFinished();
    ASSERT_FALSE(other.isError());
    EXPECT_NE(other.value(), first);
    QTest::qWait(200);
    EXPECT_EQ(notifications.UpdatedId(), first);
}

TEST(NotificationPaceTest, AFewAtOnceThenOneNowAndThenWithTheGatewayApart) {
    using Kind = store::WatchEventKind;
    NotificationPace pace;
    const store::Millis t = 1'000'000;
    int shown = 0;
    for (int i = 0; i < 50; ++i) {
        shown += pace.Allow(i % 2 ? Kind::New : Kind::MacChanged, t + i) ? 1 : 0;
    }
    EXPECT_EQ(shown, 5);
    EXPECT_EQ(pace.TakeHeld(), 45);
    EXPECT_EQ(pace.TakeHeld(), std::nullopt);  // nothing more held since
    // The gateway's allowance is untouched by the flood, and bounded of its own.
    EXPECT_TRUE(pace.Allow(Kind::GatewayChanged, t + 60));
    EXPECT_TRUE(pace.Allow(Kind::GatewayChanged, t + 61));
    EXPECT_FALSE(pace.Allow(Kind::GatewayChanged, t + 62));
    EXPECT_TRUE(pace.Allow(Kind::GatewayChanged, t + 62 + 60'000));
    // One more device every ten seconds, however long the flood has run.
    EXPECT_FALSE(pace.Allow(Kind::New, t + 9'000));
    EXPECT_TRUE(pace.Allow(Kind::New, t + 10'100));
    EXPECT_FALSE(pace.Allow(Kind::New, t + 10'200));
    EXPECT_EQ(pace.TakeHeld(), 48);
    // A clock that steps back gives nothing away.
    EXPECT_FALSE(pace.Allow(Kind::New, t));
}

// Runs what is posted only when the test says, as a window busy elsewhere would.
struct HeldPoster final : IUiPoster {
    void Post(std::function<void()> task) override {
        const std::lock_guard lock(mutex);
        tasks.push_back(std::move(task));
    }
    std::size_t Count() {
        const std::lock_guard lock(mutex);
        return tasks.size();
    }
    void RunAll() {
        std::vector<std::function<void()>> taken;
        {
            const std::lock_guard lock(mutex);
            taken.swap(tasks);
        }
        for (const auto& task : taken) {
            task();
        }
    }
    std::mutex mutex;
    std::vector<std::function<void()>> tasks;
};

TEST(WireListenerTest, AFloodWaitsInBoundedBatchesAndADeadHelperIsStartedAgain) {
    FakeWires wires;
    std::string why;
    std::unique_ptr<IArpWire> wire = wires.Open("tvk-watch0", why);
    FakeWire* first = wires.latest;
    auto poster = std::make_shared<HeldPoster>();
    std::size_t claims = 0;
    std::uint64_t lost = 0;
    std::vector<std::string> notes;
    WireListener listener(
        wires, std::move(wire), poster,
        [&](const WireListener::Heard& heard) {
            claims += heard.claims.size();
            lost += heard.lost;
        },
        [&](const std::string& note) { notes.push_back(note); });

    // Frames keep coming while the window takes nothing: what waits for it stays bounded, and
    // every frame is either handed on or counted as lost.
    std::size_t sent = 0;
    for (int round = 0; round < 60; ++round) {
        for (std::uint32_t host = 1; host <= 50; ++host, ++sent) {
            first->Claim(0xCB007100 + host, {0x00, 0x16, 0x3e, 0, 1, 0});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    EXPECT_LE(poster->Count(), 40u);
    poster->RunAll();
    first->Claim(0xCB007101, {0x00, 0x16, 0x3e, 0, 1, 0});
    ++sent;
    ASSERT_TRUE(QTest::qWaitFor([&] { return poster->Count() == 1; }, 5000));
    poster->RunAll();
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(claims + lost, sent);

    first->End();
    ASSERT_TRUE(QTest::qWaitFor([&] { return poster->Count() == 2; }, 5000));
    poster->RunAll();
    EXPECT_EQ(notes, (std::vector<std::string>{"监听 tvk-watch0 的辅助进程已结束，正在重新启动。",
                                               "已重新开始监听 tvk-watch0。"}));
    EXPECT_EQ(wires.opened.size(), 2u);
}

}  // namespace
}  // namespace talvik::test
