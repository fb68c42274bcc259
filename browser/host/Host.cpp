#include "browser/host/Host.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "browser/host/Framing.h"
#include "platform/Errors.h"
#include "platform/Stream.h"

namespace browserhost {

namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Serialize(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

// The reason a frame could not be read, as an answer.
std::string FrameError(FrameStatus status, std::uint32_t declared) {
  switch (status) {
    case FrameStatus::TooLarge:
      return ErrorAnswer("too-large", "the message announces " + std::to_string(declared) +
                                          " bytes; the host takes at most " + std::to_string(kMaxMessageBytes));
    case FrameStatus::Truncated:
      return ErrorAnswer("truncated", "the input ended inside the message");
    case FrameStatus::TimedOut:
      return ErrorAnswer("timed-out", "the message did not arrive whole in time");
    case FrameStatus::Failed:
      return ErrorAnswer("read-failed", std::string("reading the message failed: ") +
                                            platform::ErrorText(platform::LastError()));
    case FrameStatus::Complete:
    case FrameStatus::NoMessage:
      break;
  }
  return ErrorAnswer("internal", "unexpected frame status");
}

std::string Answer(std::string_view message, Launcher& launcher, TypeFilter& types, const ServeOptions& options) {
  const ParsedMessage parsed = ParseMessage(message);
  if (!parsed.ok) return ErrorAnswer(parsed.error, parsed.detail);
  if (parsed.action == Action::Ping) return OkAnswer(options.version);
  if (!types.Handles(parsed.download.type)) {
    return ErrorAnswer("type-not-handled", "Vexaro offers nothing for the type \"" + parsed.download.type + "\"");
  }
  std::string failure;
  if (!launcher.Launch(parsed.download, failure)) return ErrorAnswer("launch-failed", failure);
  return OkAnswer(options.version);
}

}  // namespace

std::string OkAnswer(std::string_view version) {
  QJsonObject answer;
  answer.insert(QStringLiteral("ok"), true);
  answer.insert(QStringLiteral("version"), FromUtf8(version));
  return Serialize(answer);
}

std::string ErrorAnswer(std::string_view error, std::string_view detail) {
  QJsonObject answer;
  answer.insert(QStringLiteral("ok"), false);
  answer.insert(QStringLiteral("error"), FromUtf8(error));
  answer.insert(QStringLiteral("message"), FromUtf8(detail));
  return Serialize(answer);
}

ServeResult Serve(int in, int out, Launcher& launcher, TypeFilter& types, const ServeOptions& options) {
  std::string message;
  std::uint32_t declared = 0;
  const FrameStatus status =
      ReadFrame(in, kMaxMessageBytes, platform::DeadlineIn(options.readTimeoutMs), message, declared);
  if (status == FrameStatus::NoMessage) return ServeResult::NoMessage;
  std::string answer = status == FrameStatus::Complete ? Answer(message, launcher, types, options)
                                                       : FrameError(status, declared);
  // Only the detail can grow (it quotes the type, at most kMaxTypeBytes), so
  // this never happens; the bound is the browsers', and a frame above it
  // would be taken as a broken host.
  if (answer.size() > kMaxAnswerBytes) answer = ErrorAnswer("internal", "answer too long");
  const platform::StreamResult written = platform::WriteAll(out, Frame(answer), platform::DeadlineIn(1000));
  return written == platform::StreamResult::Complete ? ServeResult::Answered : ServeResult::WriteFailed;
}

}  // namespace browserhost
