#include "startup/LocalHandoffLink.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include "platform/Text.h"

namespace startup {

LocalHandoffLink::LocalHandoffLink() { status_ = marker_.Take(); }

LocalHandoffLink::~LocalHandoffLink() { StopListening(); }

void LocalHandoffLink::Open(const std::u16string& managerTitle) {
  const std::u16string folder = platform::RuntimeFolder();
  if (!folder.empty()) {
    socketPath_ = QString::fromStdString(platform::ToUtf8(folder) + HandoffSocketName(managerTitle));
  }
  if (marker_.IsHeld()) Listen();
}

bool LocalHandoffLink::IsListening() const { return server_ && server_->isListening(); }

bool LocalHandoffLink::Listen() {
  if (IsListening()) return true;
  if (socketPath_.isEmpty()) return false;
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  // Holding the marker makes us the only listener: a socket file left there
  // is a dead instance's.
  QLocalServer::removeServer(socketPath_);
  if (!server_->listen(socketPath_)) {
    server_.reset();
    return false;
  }
  QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] { Accept(); });
  return true;
}

void LocalHandoffLink::Accept() {
  while (QLocalSocket* connection = server_->nextPendingConnection()) {
    std::uint32_t peer = 0;
    if (!platform::PeerUserId(connection->socketDescriptor(), peer) || peer != platform::CurrentUserId()) {
      connection->abort();
      connection->deleteLater();
      continue;
    }
    auto reader = std::make_shared<RecordReader>();
    QObject::connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
    QObject::connect(connection, &QLocalSocket::readyRead, connection,
                     [this, connection, reader] { Serve(connection, reader); });
    if (connection->bytesAvailable() > 0) Serve(connection, reader);
  }
}

void LocalHandoffLink::Serve(QLocalSocket* connection, std::shared_ptr<RecordReader> reader) {
  const QByteArray bytes = connection->readAll();
  reader->Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  // Delivering may end the dialog, which stops listening and aborts this
  // connection: answer only while it is still open.
  QPointer<QLocalSocket> guard(connection);
  const auto open = [&guard] { return guard && guard->state() == QLocalSocket::ConnectedState; };
  HandoffRecord record;
  while (open() && reader->Next(record)) {
    inbox_.Deliver(record.kind, std::move(record.payload));
    if (!open()) return;
    const std::string answer = EncodeAnswer();
    connection->write(answer.data(), static_cast<qint64>(answer.size()));
    connection->flush();
  }
  if (open() && reader->Failed()) {
    connection->abort();
    connection->deleteLater();
  }
}

bool LocalHandoffLink::Send(const std::vector<HandoffRecord>& records) {
  if (socketPath_.isEmpty()) return false;
  return SendHandoffRecords(socketPath_, records);
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
    for (QLocalSocket* connection : open) {
      // This may run inside one of their own signals: no direct delete, and
      // no parent that goes away before the deferred one runs.
      QObject::disconnect(connection, nullptr, nullptr, nullptr);
      connection->setParent(nullptr);
      connection->abort();
      connection->deleteLater();
    }
    server_->close();
    // Deferred for the same reason.
    QObject::disconnect(server_.get(), nullptr, nullptr, nullptr);
    server_.release()->deleteLater();
  }
  marker_.Release();
}

bool SendHandoffRecords(const QString& socketPath, const std::vector<HandoffRecord>& records, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(socketPath);
  if (!socket.waitForConnected(timeoutMs)) return false;
  for (const HandoffRecord& record : records) {
    const std::string bytes = EncodeRecord(record);
    socket.write(bytes.data(), static_cast<qint64>(bytes.size()));
    while (socket.bytesToWrite() > 0) {
      if (!socket.waitForBytesWritten(timeoutMs)) return false;
    }
    while (socket.bytesAvailable() < static_cast<qint64>(kAnswerSize)) {
      if (!socket.waitForReadyRead(timeoutMs)) return false;
    }
    socket.read(kAnswerSize);
  }
  socket.disconnectFromServer();
  return true;
}

}  // namespace startup
