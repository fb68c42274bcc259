#include "browser/host/Message.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QString>
#include <QUrl>
#include <cmath>

namespace browserhost {

namespace {

struct Failure {
  std::string error;
  std::string detail;
};

// A JSON number that is a whole number within the double's exact range.
bool WholeNumber(const QJsonValue& value, std::int64_t& number) {
  if (!value.isDouble()) return false;
  const double d = value.toDouble();
  constexpr double kExact = 9007199254740992.0;  // 2^53
  if (!std::isfinite(d) || d != std::floor(d) || d > kExact || d < -kExact) return false;
  number = static_cast<std::int64_t>(d);
  return true;
}

bool HasControlCharacter(const QString& text) {
  for (const QChar c : text) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) return true;
  }
  return false;
}

class Reader {
 public:
  explicit Reader(const QJsonObject& object) : object_(object) {}

  // False (with failure_ set) when the member is missing but required, is
  // no string, is too long or holds a control character.
  bool Text(const char* name, bool required, std::size_t limit, std::string& out) {
    const QJsonValue value = object_.value(QLatin1String(name));
    if (value.isUndefined()) {
      if (!required) return true;
      return Fail("missing-field", std::string("the message has no \"") + name + "\"");
    }
    if (!value.isString()) return Fail("wrong-type", std::string("\"") + name + "\" is not a string");
    const QString text = value.toString();
    const QByteArray utf8 = text.toUtf8();
    if (static_cast<std::size_t>(utf8.size()) > limit) {
      return Fail("too-long", std::string("\"") + name + "\" is longer than " + std::to_string(limit) + " bytes");
    }
    if (HasControlCharacter(text)) {
      return Fail("control-character", std::string("\"") + name + "\" holds a control character");
    }
    out.assign(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    return true;
  }

  bool Integer(const char* name, std::int64_t min, std::int64_t max, std::int64_t& out) {
    const QJsonValue value = object_.value(QLatin1String(name));
    if (value.isUndefined()) return true;
    std::int64_t number = 0;
    if (!WholeNumber(value, number) || number < min || number > max) {
      return Fail(std::string("bad-") + name, std::string("\"") + name + "\" must be a whole number from " +
                                                  std::to_string(min) + " to " + std::to_string(max));
    }
    out = number;
    return true;
  }

  bool Boolean(const char* name, bool& out) {
    const QJsonValue value = object_.value(QLatin1String(name));
    if (value.isUndefined()) return true;
    if (!value.isBool()) return Fail("wrong-type", std::string("\"") + name + "\" is not true or false");
    out = value.toBool();
    return true;
  }

  bool Fail(std::string error, std::string detail) {
    failure_ = {std::move(error), std::move(detail)};
    return false;
  }

  const Failure& failure() const { return failure_; }

 private:
  const QJsonObject& object_;
  Failure failure_;
};

bool HttpUrl(const std::string& text, Reader& reader) {
  const QUrl url(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), QUrl::StrictMode);
  if (!url.isValid() || url.host().isEmpty()) return reader.Fail("bad-url", "\"url\" is no valid address");
  const QString scheme = url.scheme().toLower();
  if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
    return reader.Fail("bad-scheme", "\"url\" is neither http nor https");
  }
  return true;
}

void AppendOption(std::string& out, const char* name, std::string_view value) {
  out += name;
  out += ':';
  out += value;
  out += '\0';
}

}  // namespace

ParsedMessage ParseMessage(std::string_view json) {
  ParsedMessage parsed;
  QJsonParseError parseError{};
  const QJsonDocument document =
      QJsonDocument::fromJson(QByteArray(json.data(), static_cast<qsizetype>(json.size())), &parseError);
  if (parseError.error != QJsonParseError::NoError) {
    parsed.error = "bad-json";
    parsed.detail = "the message is no JSON: " + parseError.errorString().toStdString();
    return parsed;
  }
  if (!document.isObject()) {
    parsed.error = "bad-json";
    parsed.detail = "the message is no JSON object";
    return parsed;
  }
  const QJsonObject object = document.object();
  Reader reader(object);
  std::string action;
  if (!reader.Text("action", true, 32, action)) {
    parsed.error = reader.failure().error;
    parsed.detail = reader.failure().detail;
    return parsed;
  }
  if (action == "ping") {
    parsed.ok = true;
    parsed.action = Action::Ping;
    return parsed;
  }
  if (action != "download") {
    parsed.error = "unknown-action";
    parsed.detail = "the host knows no action \"" + action + "\"";
    return parsed;
  }
  DownloadFields& d = parsed.download;
  const bool valid = reader.Text("url", true, kMaxUrlBytes, d.url) && HttpUrl(d.url, reader) &&
                     reader.Text("file", true, kMaxFileBytes, d.file) &&
                     reader.Text("type", true, kMaxTypeBytes, d.type) &&
                     reader.Integer("size", 0, std::int64_t{1} << 53, d.size) &&
                     reader.Text("cookie", false, kMaxCookieBytes, d.cookie) &&
                     reader.Text("referer", false, kMaxRefererBytes, d.referer) &&
                     reader.Text("path", false, kMaxPathBytes, d.path) &&
                     reader.Integer("format", -1, kMaxFormat, d.format) && reader.Boolean("autoclose", d.autoclose);
  if (!valid) {
    parsed.error = reader.failure().error;
    parsed.detail = reader.failure().detail;
    parsed.download = DownloadFields();
    return parsed;
  }
  parsed.ok = true;
  parsed.action = Action::Download;
  return parsed;
}

std::string EncodeRequestOptions(const DownloadFields& d) {
  std::string out;
  AppendOption(out, "/url", d.url);
  AppendOption(out, "/file", d.file);
  AppendOption(out, "/type", d.type);
  // The program reads the size as the command line does, saturating what
  // does not fit its 32 bits.
  AppendOption(out, "/size", std::to_string(d.size));
  if (!d.cookie.empty()) AppendOption(out, "/cookie", d.cookie);
  if (!d.referer.empty()) AppendOption(out, "/referer", d.referer);
  if (!d.path.empty()) AppendOption(out, "/path", d.path);
  AppendOption(out, "/format", std::to_string(d.format));
  if (d.autoclose) AppendOption(out, "/autoclose", "true");
  out += '\0';
  return out;
}

}  // namespace browserhost
