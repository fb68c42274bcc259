#include "TestListener.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace testsupport {

TestListener::TestListener(const QString& path, bool answer) : path_(path), answer_(answer) {
  std::promise<bool> ready;
  std::future<bool> listening = ready.get_future();
  thread_ = std::thread(&TestListener::Serve, this, std::move(ready));
  listening_ = listening.get();
}

TestListener::~TestListener() { Records(); }

const std::vector<startup::HandoffRecord>& TestListener::Records() {
  if (thread_.joinable()) thread_.join();
  return records_;
}

void TestListener::Serve(std::promise<bool> ready) {
  QLocalServer server;
  QLocalServer::removeServer(path_);
  ready.set_value(server.listen(path_));
  if (!server.isListening() || !server.waitForNewConnection(10000)) return;
  QLocalSocket* connection = server.nextPendingConnection();
  startup::RecordReader reader;
  while (connection->state() == QLocalSocket::ConnectedState && connection->waitForReadyRead(10000)) {
    const QByteArray bytes = connection->readAll();
    reader.Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    startup::HandoffRecord record;
    while (reader.Next(record)) {
      records_.push_back(record);
      if (!answer_) continue;
      const std::string reply = startup::EncodeAnswer();
      connection->write(reply.data(), static_cast<qint64>(reply.size()));
      connection->waitForBytesWritten(10000);
    }
  }
}

}  // namespace testsupport
