// The instance marker and the hand-off socket of the program.
//
// First instance: holds the marker and listens on a QLocalServer at
// <runtime folder>/<HandoffSocketName(title)> (platform/RuntimeFolder.h), on
// the user-interface thread. A connection whose peer is another user is
// closed at once. Each connection is a sender of its own: its complete
// records go to the inbox under its number and are answered, and its end is
// delivered too. A record announcing more than kMaxRecordPayload bytes is
// answered with a refusal; nothing more of that connection reaches the inbox.
// When a commit arrives, the temporary file its connection named is held
// (Settings::HoldTempFile) before the sender hears of it, so that no start
// cleans it away between the sender's end and the row that uses it.
//
// Later start: Send() connects to the same name and sends the records one by
// one, each answered before the next, with blocking socket calls (no event
// loop needed).
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Instance.h"
#include "platform/SocketPath.h"
#include "startup/Handoff.h"
#include "startup/LaunchSequence.h"

class QLocalServer;
class QLocalSocket;

namespace startup {

// How long a sender waits for the connection and for each answer.
inline constexpr int kHandoffAnswerTimeoutMs = 15000;

class LocalHandoffLink : public InstanceLink {
 public:
  // Takes the marker.
  LocalHandoffLink();
  ~LocalHandoffLink() override;  // StopListening()

  std::uint32_t Status() override { return status_; }
  void Open(const std::u16string& managerTitle) override;
  SendResult Send(const std::vector<HandoffRecord>& records) override;
  bool BecomeFirst() override;
  HandoffInbox& Inbox() override { return inbox_; }
  void StopListening() override;

  bool IsListening() const;
  // The socket's address as this process uses it (it may lead through a
  // descriptor of the folder, see platform/SocketPath.h); empty before
  // Open() or without a runtime folder.
  QString SocketPath() const { return QString::fromStdString(socketPath_.Path()); }
  // Its path as other processes see it.
  QString SocketFile() const { return QString::fromStdString(socketPath_.FullPath()); }

 private:
  struct Connection;
  bool Listen();
  void Accept();
  void Serve(QLocalSocket* socket, const std::shared_ptr<Connection>& connection);

  platform::InstanceMarker marker_;
  std::uint32_t status_ = 0;
  platform::SocketPath socketPath_;
  std::unique_ptr<QLocalServer> server_;
  HandoffInbox inbox_;
  HandoffSender lastSender_ = 0;
};

// Connects to socketPath and sends the records, each answered before the
// next. connected, when given, runs once the connection stands, just before
// the first record goes out.
SendResult SendHandoffRecords(const QString& socketPath, const std::vector<HandoffRecord>& records,
                              int timeoutMs = kHandoffAnswerTimeoutMs, const std::function<void()>& connected = {});

}  // namespace startup
