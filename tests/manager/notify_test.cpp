// Desktop notifications for downloads that end out of the user's sight, on a
// private session bus of this test (a real dbus-daemon) with a notification
// service answering on it, so nothing reaches the desktop of whoever runs
// the tests.
//
// A program of its own: Qt reads the session bus address once per process,
// so it is set before anything here touches the bus.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "manager/DesktopNotifier.h"
#include "manager/ManagerFixture.h"

namespace {

struct Notification {
  QString app;
  QString summary;
  QString body;
};

// What a desktop's notification daemon does, as far as a sender can tell:
// answers Notify with an id, and here keeps what it was sent.
class NotificationService : public QDBusVirtualObject {
 public:
  std::vector<Notification> received;

  QString introspect(const QString&) const override {
    return QStringLiteral(
        "<interface name=\"org.freedesktop.Notifications\">"
        "<method name=\"Notify\">"
        "<arg type=\"s\" direction=\"in\"/><arg type=\"u\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/>"
        "<arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/><arg type=\"as\" direction=\"in\"/>"
        "<arg type=\"a{sv}\" direction=\"in\"/><arg type=\"i\" direction=\"in\"/><arg type=\"u\" direction=\"out\"/>"
        "</method></interface>");
  }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != QLatin1String("Notify") || message.arguments().size() != 8) return false;
    const QList<QVariant> args = message.arguments();
    received.push_back({args[0].toString(), args[3].toString(), args[4].toString()});
    connection.send(message.createReply(QVariant::fromValue(static_cast<uint>(received.size()))));
    return true;
  }
};

// A session bus of the test's own, for the whole program.
class PrivateBus {
 public:
  bool Start() {
    daemon_.setProgram(QStringLiteral("dbus-daemon"));
    daemon_.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    daemon_.start();
    if (!daemon_.waitForStarted(10000)) return false;
    QElapsedTimer waited;
    waited.start();
    while (!daemon_.canReadLine() && waited.elapsed() < 10000) daemon_.waitForReadyRead(100);
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    if (address_.isEmpty()) return false;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.toUtf8().constData(), 1);
    return true;
  }
  ~PrivateBus() {
    daemon_.kill();
    daemon_.waitForFinished(5000);
  }
  const QString& Address() const { return address_; }

 private:
  QProcess daemon_;
  QString address_;
};

PrivateBus* bus = nullptr;

class NotifyTest : public testsupport::ManagerFixture {
 protected:
  static void SetUpTestSuite() {
    bus = new PrivateBus;
    ASSERT_TRUE(bus->Start()) << "dbus-daemon must be installed";
  }
  static void TearDownTestSuite() {
    delete bus;
    bus = nullptr;
  }

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(testsupport::ManagerFixture::SetUp());
    ASSERT_TRUE(bus);
  }
  void TearDown() override {
    StopService();
    testsupport::ManagerFixture::TearDown();
  }

  // The service, on a connection of its own as a separate daemon would be.
  void StartService() {
    service_ = std::make_unique<NotificationService>();
    connection_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(bus->Address(), QStringLiteral("svc")));
    ASSERT_TRUE(connection_->isConnected());
    ASSERT_TRUE(connection_->registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), service_.get()));
    ASSERT_TRUE(connection_->registerService(QStringLiteral("org.freedesktop.Notifications")));
  }
  void StopService() {
    if (!connection_) return;
    connection_->unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    connection_->unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    connection_.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("svc"));
  }

  // Waits until the row of the dialog has finished and a notification had
  // time to arrive.
  void WaitForEnd(testsupport::CDownloadFileDialog& dialog) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.Row(0)->IsFinished(); }, 30000));
    QTest::qWait(300);
  }

  std::unique_ptr<NotificationService> service_;
  std::unique_ptr<QDBusConnection> connection_;
};

// Out of sight (minimized): one notification naming the file, or its failure
// with the row's reason.
TEST_F(NotifyTest, DownloadsThatEndOutOfSightAreAnnounced) {
  struct Case {
    const char* name;
    std::string route;
    QString summary;
    QString bodyStart;
  };
  const std::vector<Case> cases = {
      {"finished", "/bytes/5000", "Download completed", "report.pdf"},
      {"failed", "/missing", "Download failed", "report.pdf\nError: 2149122452 (0x80190194), HTTP 404 Not Found"},
  };
  StartService();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service_->received.clear();
    testsupport::CDownloadFileDialog& dialog = Open(c.route, File("report.pdf"));
    dialog.showMinimized();
    WaitForEnd(dialog);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !service_->received.empty(); }, 5000));
    ASSERT_EQ(service_->received.size(), 1u);
    EXPECT_EQ(service_->received[0].app, "Vexaro");
    EXPECT_EQ(service_->received[0].summary, c.summary);
    EXPECT_TRUE(service_->received[0].body.startsWith(c.bodyStart)) << service_->received[0].body.toStdString();
    dialog_.reset();
  }
}

// A user looking at the window sees the row; nothing is sent.
TEST_F(NotifyTest, NothingWhileTheWindowIsInFront) {
  StartService();
  testsupport::CDownloadFileDialog& dialog = Open("/bytes/5000", File("seen.bin"));
  dialog.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
  WaitForEnd(dialog);
  EXPECT_TRUE(service_->received.empty());
}

// Without a notification service the call is answered with an error nobody
// waits for: the dialog goes on as before ("Close when finished" closes it).
TEST_F(NotifyTest, NoServiceNeitherBlocksNorFails) {
  QElapsedTimer timer;
  timer.start();
  manager::DesktopNotifier::Send(QStringLiteral("Download completed"), QStringLiteral("x.bin"));
  EXPECT_LT(timer.elapsed(), 1000);
  testsupport::CDownloadFileDialog& dialog = Open("/bytes/5000", File("unseen.bin"), true);
  dialog.showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 30000));
  EXPECT_TRUE(dialog.Row(0)->IsFinished());
}

}  // namespace
