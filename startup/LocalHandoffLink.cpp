#include "startup/LocalHandoffLink.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include "platform/Errors.h"
#include "platform/RuntimeFolder.h"
#include "platform/Text.h"
#include "settings/Settings.h"

namespace startup {

struct LocalHandoffLink::Connection {
  HandoffSender sender = 0;
  RecordReader reader;
  bool refused = false;
  // The temporary path its records set last: what its commit will use.
  std::u16string tempPath;
};

LocalHandoffLink::LocalHandoffLink() { status_ = marker_.Take(); }

LocalHandoffLink::~LocalHandoffLink() { StopListening(); }

void LocalHandoffLink::Open(const std::u16string& managerTitle) {
  const std::u16string folder = platform::RuntimeFolder();
  settings::ReportRuntimeFolderProblems();
  if (!folder.empty()) socketPath_.Set(folder, HandoffSocketName(managerTitle));
  if (marker_.IsHeld()) Listen();
}

bool LocalHandoffLink::IsListening() const { return server_ && server_->isListening(); }

bool LocalHandoffLink::Listen() {
  if (IsListening()) return true;
  if (socketPath_.Path().empty()) return false;
  server_ = std::make_unique<QLocalServer>();
  // Holding the marker makes us the only listener: a socket file left there
  // is a dead instance's. The folder is the user's alone, so the socket needs
  // no access rules of its own; the peer check below is what keeps others
  // out should they ever reach it.
  QLocalServer::removeServer(SocketPath());
  if (!server_->listen(SocketPath())) {
    settings::ReportError(platform::LastError(), settings::errors::kHandoffListen);
    server_.reset();
    return false;
  }
  QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] { Accept(); });
  return true;
}

void LocalHandoffLink::Accept() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    std::uint32_t peer = 0;
    if (!platform::PeerUserId(socket->socketDescriptor(), peer) || peer != platform::CurrentUserId()) {
      socket->abort();
      socket->deleteLater();
      continue;
    }
    auto connection = std::make_shared<Connection>();
    connection->sender = ++lastSender_;
    const HandoffSender sender = connection->sender;
    QObject::connect(socket, &QLocalSocket::disconnected, socket, [this, socket, sender] {
      inbox_.End(sender);
      socket->deleteLater();
    });
    QObject::connect(socket, &QLocalSocket::readyRead, socket,
                     [this, socket, connection] { Serve(socket, connection); });
    if (socket->bytesAvailable() > 0) Serve(socket, connection);
  }
}

void LocalHandoffLink::Serve(QLocalSocket* socket, const std::shared_ptr<Connection>& connection) {
  const QByteArray bytes = socket->readAll();
  connection->reader.Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  // Delivering may end the dialog, which stops listening and aborts this
  // connection: answer only while it is still open.
  QPointer<QLocalSocket> guard(socket);
  const auto open = [&guard] { return guard && guard->state() == QLocalSocket::ConnectedState; };
  const auto answer = [socket](std::uint32_t value) {
    const std::string reply = EncodeAnswer(value);
    socket->write(reply.data(), static_cast<qint64>(reply.size()));
    socket->flush();
  };
  HandoffRecord record;
  while (open() && connection->reader.Next(record)) {
    if (record.kind == transfer::kRecordTempPath) {
      connection->tempPath = platform::FromUtf16LeBytes(record.payload);
    } else if (record.kind == transfer::kRecordCommit && !connection->tempPath.empty()) {
      settings::Settings::HoldTempFile(connection->tempPath);
    }
    inbox_.Deliver(connection->sender, record.kind, std::move(record.payload));
    if (!open()) return;
    answer(kAnswerHandled);
  }
  // The refusal goes out once; what the sender still writes is read and
  // dropped, so that it can finish writing and read the answer.
  if (open() && connection->reader.Failed() && !connection->refused) {
    connection->refused = true;
    answer(kAnswerRefused);
  }
}

SendResult LocalHandoffLink::Send(const std::vector<HandoffRecord>& records) {
  if (socketPath_.Path().empty()) return SendResult::NotReached;
  return SendHandoffRecords(SocketPath(), records);
}

bool LocalHandoffLink::BecomeFirst() {
  if (!marker_.IsHeld() && marker_.Take() != 0) return false;
  if (!Listen()) {
    marker_.Release();
    return false;
  }
  status_ = 0;
  return true;
}

void LocalHandoffLink::StopListening() {
  if (server_) {
    // Connections still open lose their unanswered records; their senders
    // see no answer and try again (and may become the first instance).
    const QList<QLocalSocket*> open = server_->findChildren<QLocalSocket*>();
    for (QLocalSocket* socket : open) {
      // This may run inside one of their own signals: no direct delete, and
      // no parent that goes away before the deferred one runs.
      QObject::disconnect(socket, nullptr, nullptr, nullptr);
      socket->setParent(nullptr);
      socket->abort();
      socket->deleteLater();
    }
    server_->close();
    // Deferred for the same reason.
    QObject::disconnect(server_.get(), nullptr, nullptr, nullptr);
    server_.release()->deleteLater();
  }
  marker_.Release();
}

SendResult SendHandoffRecords(const QString& socketPath, const std::vector<HandoffRecord>& records, int timeoutMs,
                              const std::function<void()>& connected) {
  QLocalSocket socket;
  socket.connectToServer(socketPath);
  if (!socket.waitForConnected(timeoutMs)) return SendResult::NotReached;
  if (connected) connected();
  for (const HandoffRecord& record : records) {
    const std::string bytes = EncodeRecord(record);
    socket.write(bytes.data(), static_cast<qint64>(bytes.size()));
    while (socket.bytesToWrite() > 0) {
      if (!socket.waitForBytesWritten(timeoutMs)) return SendResult::NotReached;
    }
    while (socket.bytesAvailable() < static_cast<qint64>(kAnswerSize)) {
      if (!socket.waitForReadyRead(timeoutMs)) return SendResult::NotReached;
    }
    const QByteArray answer = socket.read(kAnswerSize);
    if (answer != QByteArray::fromStdString(EncodeAnswer(kAnswerHandled))) return SendResult::Refused;
  }
  socket.disconnectFromServer();
  return SendResult::Delivered;
}

}  // namespace startup
