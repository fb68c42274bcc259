#include "browser/host/Install.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QString>
#include <QtGlobal>

// The compiled-in manifests live in this static library; a program only
// sees them once their resource is registered.
static void RegisterManifests() { Q_INIT_RESOURCE(manifests); }

namespace browserhost {

namespace {

QString TemplateName(Browser browser) {
  return browser == Browser::Firefox ? QStringLiteral(":/browser-host/firefox.json")
                                     : QStringLiteral(":/browser-host/chromium.json");
}

QString UserFolder(Browser browser) {
  const QString home = qEnvironmentVariable("HOME", QDir::homePath());
  QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  // The XDG rule: only an absolute path counts.
  if (config.isEmpty() || !QDir::isAbsolutePath(config)) config = home + QStringLiteral("/.config");
  switch (browser) {
    case Browser::Chromium:
      return config + QStringLiteral("/chromium/NativeMessagingHosts");
    case Browser::GoogleChrome:
      return config + QStringLiteral("/google-chrome/NativeMessagingHosts");
    case Browser::Firefox:
      break;
  }
  return home + QStringLiteral("/.mozilla/native-messaging-hosts");
}

}  // namespace

std::string ManifestText(Browser browser, const std::string& hostPath) {
  RegisterManifests();
  QFile file(TemplateName(browser));
  if (!file.open(QIODevice::ReadOnly)) return std::string();
  QJsonObject manifest = QJsonDocument::fromJson(file.readAll()).object();
  manifest.insert(QStringLiteral("path"), QString::fromStdString(hostPath));
  return QJsonDocument(manifest).toJson(QJsonDocument::Indented).toStdString();
}

std::vector<ManifestWrite> InstallUserManifests(const std::string& hostPath) {
  std::vector<ManifestWrite> writes;
  for (const Browser browser : {Browser::Chromium, Browser::GoogleChrome, Browser::Firefox}) {
    const QString folder = UserFolder(browser);
    const QString path = folder + QStringLiteral("/") + QLatin1String(kHostName) + QStringLiteral(".json");
    ManifestWrite write{browser, path.toStdString(), false, {}};
    const std::string text = ManifestText(browser, hostPath);
    QSaveFile file(path);
    if (text.empty()) {
      write.error = "the compiled-in manifest is missing";
    } else if (!QDir().mkpath(folder)) {
      write.error = "cannot create " + folder.toStdString();
    } else if (!file.open(QIODevice::WriteOnly) ||
               file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
               !file.commit()) {
      write.error = file.errorString().toStdString();
    } else {
      write.written = true;
    }
    writes.push_back(std::move(write));
  }
  return writes;
}

}  // namespace browserhost
