// The instance marker and the hand-off socket of the program.
//
// First instance: holds the marker and listens on a QLocalServer at
// <runtime folder>/<HandoffSocketName(title)>, on the user-interface thread.
// A connection whose peer is another user is closed at once. Each complete
// record goes to the inbox and is answered; a record announcing more than
// kMaxRecordPayload bytes closes its connection without reaching the inbox.
//
// Later start: Send() connects to the same name and sends the records one by
// one, each answered before the next, with blocking socket calls (no event
// loop needed).
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Instance.h"
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
  bool Send(const std::vector<HandoffRecord>& records) override;
  bool BecomeFirst() override;
  HandoffInbox& Inbox() override { return inbox_; }
  void StopListening() override;

  bool IsListening() const;
  // The socket's full path; empty before Open() or without a runtime folder.
  QString SocketPath() const { return socketPath_; }

 private:
  bool Listen();
  void Accept();
  // reader: the bytes of a record of this connection not yet whole.
  void Serve(QLocalSocket* connection, std::shared_ptr<RecordReader> reader);

  platform::InstanceMarker marker_;
  std::uint32_t status_ = 0;
  QString socketPath_;
  std::unique_ptr<QLocalServer> server_;
  HandoffInbox inbox_;
};

// Connects to socketPath and sends the records, each answered before the
// next. True when every record was answered.
bool SendHandoffRecords(const QString& socketPath, const std::vector<HandoffRecord>& records,
                        int timeoutMs = kHandoffAnswerTimeoutMs);

}  // namespace startup
