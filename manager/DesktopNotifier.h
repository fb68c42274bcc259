// Desktop notifications (the freedesktop Notifications service over D-Bus on
// the session bus), for a download that ends while its window is out of
// sight.
//
// Send() never blocks and never fails in a way the caller sees: without a
// session bus nothing is sent, and a bus without a notification service
// answers the call with an error that is dropped.
//
// Threads: the user-interface thread.
#pragma once

#include <QString>

namespace manager {

class DesktopNotifier {
 public:
  // summary: what happened ("Download completed"); body: which file.
  static void Send(const QString& summary, const QString& body);
};

}  // namespace manager
