#include "manager/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QStringList>
#include <QVariantMap>

namespace manager {

void DesktopNotifier::Send(const QString& summary, const QString& body) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
  call << QStringLiteral("Vexaro") << 0u << QStringLiteral("vexaro") << summary << body << QStringList()
       << QVariantMap() << -1;
  // Without a service the bus answers with an error, which nobody waits for.
  bus.asyncCall(call);
}

}  // namespace manager
