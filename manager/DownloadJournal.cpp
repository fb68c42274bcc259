#include "manager/DownloadJournal.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QString>

#include <algorithm>
#include <cmath>
#include <set>

#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/Folders.h"
#include "platform/TempFiles.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "transfer/FilePlacement.h"

namespace manager {

namespace {

constexpr char16_t kLockSuffix[] = u".lock";
constexpr char16_t kJournalSuffix[] = u".journal";
constexpr char kFormat[] = "vexaro-download-journal";
// Any count a journal holds; also the most a JSON double carries exactly.
constexpr double kMaxCount = 9007199254740992.0;
constexpr std::uint32_t kErrInvalidData = 13;  // ERROR_INVALID_DATA

QString Q(const std::u16string& text) { return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())); }
std::u16string U(const QString& text) { return text.toStdU16String(); }

bool EndsWith(const std::u16string& text, std::u16string_view suffix) {
  return text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Readers of one JSON object that note the first thing that is not as it
// should be; a journal with one such thing is unreadable as a whole.
class Reader {
 public:
  explicit Reader(const QJsonObject& object) : object_(object) {}
  bool ok = true;

  std::u16string Text(const char* key) {
    const QJsonValue value = object_.value(QLatin1String(key));
    if (!value.isString()) return Fail(), std::u16string();
    return U(value.toString());
  }
  // Header bytes kept as Latin-1 characters, so every byte comes back.
  std::string Bytes(const char* key) {
    const QJsonValue value = object_.value(QLatin1String(key));
    if (!value.isString()) return Fail(), std::string();
    const QString text = value.toString();
    for (const QChar c : text) {
      if (c.unicode() > 0xFF) return Fail(), std::string();
    }
    const QByteArray latin = text.toLatin1();
    return std::string(latin.constData(), static_cast<std::size_t>(latin.size()));
  }
  bool Flag(const char* key) {
    const QJsonValue value = object_.value(QLatin1String(key));
    if (!value.isBool()) return Fail(), false;
    return value.toBool();
  }
  std::uint64_t Count(const QJsonValue& value) {
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > kMaxCount || std::floor(number) != number) return Fail(), 0;
    return static_cast<std::uint64_t>(number);
  }
  std::uint64_t Count(const char* key) { return Count(object_.value(QLatin1String(key))); }
  std::optional<std::uint64_t> OptionalCount(const char* key) {
    const QJsonValue value = object_.value(QLatin1String(key));
    if (value.isNull()) return std::nullopt;
    return Count(value);
  }
  QJsonObject Object(const char* key) {
    const QJsonValue value = object_.value(QLatin1String(key));
    if (!value.isObject()) return Fail(), QJsonObject();
    return value.toObject();
  }
  bool Has(const char* key) const { return object_.contains(QLatin1String(key)) && !object_.value(QLatin1String(key)).isNull(); }
  QJsonArray Array(const char* key) {
    const QJsonValue value = object_.value(QLatin1String(key));
    if (!value.isArray()) return Fail(), QJsonArray();
    return value.toArray();
  }
  void Fail() { ok = false; }

 private:
  QJsonObject object_;
};

QJsonObject StateJson(const transfer::ResumeState& state) {
  QJsonArray ranges;
  for (const transfer::ByteRange& range : state.onDisk.Ranges()) {
    ranges.append(QJsonArray{static_cast<double>(range.begin), static_cast<double>(range.end)});
  }
  QJsonObject object;
  object[QStringLiteral("url")] = Q(state.url);
  object[QStringLiteral("target")] = Q(state.targetPath);
  object[QStringLiteral("part")] = Q(state.partPath);
  object[QStringLiteral("size")] = state.size ? QJsonValue(static_cast<double>(*state.size)) : QJsonValue();
  object[QStringLiteral("etag")] = QString::fromLatin1(state.etag.data(), static_cast<qsizetype>(state.etag.size()));
  object[QStringLiteral("lastModified")] =
      QString::fromLatin1(state.lastModified.data(), static_cast<qsizetype>(state.lastModified.size()));
  object[QStringLiteral("rangesWork")] = state.rangesWork;
  object[QStringLiteral("partOnDisk")] = state.partOnDisk;
  object[QStringLiteral("onDisk")] = ranges;
  return object;
}

bool StateFromJson(const QJsonObject& object, transfer::ResumeState& state) {
  Reader read(object);
  state.url = read.Text("url");
  state.targetPath = read.Text("target");
  state.partPath = read.Text("part");
  state.size = read.OptionalCount("size");
  state.etag = read.Bytes("etag");
  state.lastModified = read.Bytes("lastModified");
  state.rangesWork = read.Flag("rangesWork");
  state.partOnDisk = read.Flag("partOnDisk");
  state.onDisk.Clear();
  for (const QJsonValue& value : read.Array("onDisk")) {
    const QJsonArray pair = value.toArray();
    if (!value.isArray() || pair.size() != 2) return false;
    const std::uint64_t begin = read.Count(pair.at(0));
    const std::uint64_t end = read.Count(pair.at(1));
    if (end <= begin || (state.size && end > *state.size)) return false;
    state.onDisk.Add(begin, end);
  }
  return read.ok;
}

// Where a journal, or what could not be read of it, is kept aside.
std::u16string AsideName(const std::u16string& journal) {
  return journal + u".unreadable-" + U(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss")));
}

// The worker writes into the unfinished file and Cancel removes it: an entry
// must not point either anywhere but beside the file this download fetches
// into. Once placed, the file may have taken a numbered name beside it.
bool NamesItsOwnFiles(const transfer::ResumeState& state, const transfer::HandedDownload& d) {
  const std::u16string fetched = transfer::FetchedPath(d.targetPath, d.tempPath);
  if (state.partPath != transfer::PartPathFor(fetched)) return false;
  return state.partOnDisk ? state.targetPath == fetched : transfer::IsPlacementOf(state.targetPath, fetched);
}

}  // namespace

std::u16string DownloadJournal::Folder() {
  const std::u16string data = settings::Settings::GetDataPath(u"");
  return data.empty() ? std::u16string() : data + u"journal/";
}

std::vector<std::u16string> DownloadJournal::FilesInUse(const std::u16string& folder) {
  std::vector<std::u16string> files;
  if (folder.empty()) return files;
  for (const std::u16string& name : platform::FilesIn(folder)) {
    if (!EndsWith(name, kJournalSuffix)) continue;
    std::string bytes;
    if (!platform::ReadWholeFile(folder + name, bytes)) continue;
    std::vector<JournalEntry> entries;
    int version = 0;
    if (!Parse(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())), entries, version)) continue;
    for (const JournalEntry& entry : entries) {
      if (!entry.download.tempPath.empty()) files.push_back(entry.download.tempPath);
      if (entry.state && entry.state->partOnDisk) files.push_back(entry.state->partPath);
    }
  }
  return files;
}

bool DownloadJournal::HasOrphans(const std::u16string& folder) {
  if (folder.empty()) return false;
  for (const std::u16string& name : platform::FilesIn(folder)) {
    if (!EndsWith(name, kJournalSuffix)) continue;
    platform::OwnerLock lock;
    if (lock.Take(folder + name.substr(0, name.size() - std::size(kJournalSuffix) + 1) + kLockSuffix)) return true;
  }
  return false;
}

DownloadJournal::DownloadJournal(std::u16string folder) : folder_(std::move(folder)) {}

DownloadJournal::~DownloadJournal() {
  // Nothing left unfinished: nothing for a later start to show, so a later
  // `vexaro` without arguments does not take an empty journal for one.
  if (IsOpen() && writtenEmpty_) {
    platform::RemoveFile(Path());
    platform::RemoveFile(folder_ + token_ + kLockSuffix);
  }
}

bool DownloadJournal::Open() {
  if (folder_.empty() || !platform::CreateFolderTree(folder_)) return false;
  token_ = platform::RandomToken();
  return lock_.Take(folder_ + token_ + kLockSuffix);
}

std::u16string DownloadJournal::Path() const { return folder_ + token_ + kJournalSuffix; }

std::vector<JournalEntry> DownloadJournal::AdoptOrphans() {
  std::vector<JournalEntry> adopted;
  setAside_.clear();
  if (!IsOpen()) return adopted;
  std::set<std::u16string> ids;
  std::set<std::u16string> tokens;
  for (const std::u16string& name : platform::FilesIn(folder_)) {
    if (EndsWith(name, kLockSuffix)) tokens.insert(name.substr(0, name.size() - std::size(kLockSuffix) + 1));
    if (EndsWith(name, kJournalSuffix)) tokens.insert(name.substr(0, name.size() - std::size(kJournalSuffix) + 1));
  }
  tokens.erase(token_);
  for (const std::u16string& token : tokens) {
    auto lock = std::make_unique<platform::OwnerLock>();
    // Held: its owner runs (or another start is taking it over right now).
    if (!lock->Take(folder_ + token + kLockSuffix)) continue;
    const std::u16string journal = folder_ + token + kJournalSuffix;
    std::string bytes;
    if (platform::ReadWholeFile(journal, bytes)) {
      std::vector<JournalEntry> entries;
      int version = 0;
      QJsonArray damaged;
      if (Parse(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())), entries, version, &damaged)) {
        for (JournalEntry& entry : entries) {
          if (ids.insert(entry.id).second) adopted.push_back(std::move(entry));
        }
        // The others come back; only what cannot be read is kept aside.
        if (!damaged.isEmpty()) {
          settings::ReportError(kErrInvalidData, settings::errors::kJournalDamaged);
          KeepAside(journal, damaged);
        }
      } else {
        if (version > kVersion) {
          settings::ReportError(static_cast<std::uint32_t>(version), settings::errors::kJournalNewer);
        } else {
          settings::ReportError(kErrInvalidData, settings::errors::kJournalDamaged);
        }
        SetAside(journal);
      }
    } else if (platform::LastError() != platform::kErrFileNotFound) {
      // There but not readable (no access, an I/O fault): its downloads
      // would be lost with it if it were removed with the adopted ones.
      settings::ReportError(platform::LastError(), settings::errors::kJournalDamaged);
      SetAside(journal);
    }
    adopted_.push_back({token, std::move(lock)});
  }
  return adopted;
}

void DownloadJournal::SetAside(const std::u16string& journal) {
  const std::u16string aside = AsideName(journal);
  if (platform::RenameFile(journal, aside)) setAside_.push_back(aside);
}

void DownloadJournal::KeepAside(const std::u16string& journal, const QJsonArray& damaged) {
  QJsonObject root;
  root[QStringLiteral("format")] = QLatin1String(kFormat);
  root[QStringLiteral("version")] = kVersion;
  root[QStringLiteral("downloads")] = damaged;
  const QByteArray bytes = QJsonDocument(root).toJson(QJsonDocument::Indented);
  const std::u16string aside = AsideName(journal);
  // Never in place of the whole journal: when the entries cannot be kept
  // aside, the journal itself is, with the good entries in it too.
  if (!platform::AtomicReplace(aside, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())))) {
    settings::ReportError(platform::LastError(), settings::errors::kJournalWrite);
    SetAside(journal);
    return;
  }
  platform::MakePrivate(aside);
  setAside_.push_back(aside);
}

bool DownloadJournal::Write(const std::vector<JournalEntry>& entries) {
  if (!IsOpen()) return false;
  const QByteArray bytes = Serialize(entries);
  const std::u16string path = Path();
  if (!platform::AtomicReplace(path, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())))) {
    settings::ReportError(platform::LastError(), settings::errors::kJournalWrite);
    return false;
  }
  // A file made earlier with more access (by hand, say) keeps its bits
  // through a replace; the cookies in it are the user's alone.
  platform::MakePrivate(path);
  writtenEmpty_ = entries.empty();
  // Now this journal holds what the orphans held.
  for (Adopted& orphan : adopted_) {
    platform::RemoveFile(folder_ + orphan.token + kJournalSuffix);
    platform::RemoveFile(folder_ + orphan.token + kLockSuffix);
  }
  adopted_.clear();
  return true;
}

QByteArray DownloadJournal::Serialize(const std::vector<JournalEntry>& entries) {
  QJsonArray downloads;
  for (const JournalEntry& entry : entries) {
    const transfer::HandedDownload& d = entry.download;
    QJsonObject object;
    object[QStringLiteral("id")] = Q(entry.id);
    object[QStringLiteral("url")] = Q(d.url);
    object[QStringLiteral("target")] = Q(d.targetPath);
    object[QStringLiteral("temporary")] = Q(d.tempPath);
    object[QStringLiteral("conversion")] = Q(d.conversionArgs);
    object[QStringLiteral("size")] = static_cast<double>(std::max<std::int64_t>(d.size, 0));
    object[QStringLiteral("cookie")] = Q(d.cookie);
    object[QStringLiteral("referer")] = Q(d.referer);
    object[QStringLiteral("replaceTarget")] = d.replaceTarget;
    object[QStringLiteral("state")] = entry.state ? QJsonValue(StateJson(*entry.state)) : QJsonValue();
    downloads.append(object);
  }
  QJsonObject root;
  root[QStringLiteral("format")] = QLatin1String(kFormat);
  root[QStringLiteral("version")] = kVersion;
  root[QStringLiteral("downloads")] = downloads;
  return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool DownloadJournal::Parse(const QByteArray& bytes, std::vector<JournalEntry>& entries, int& version,
                            QJsonArray* damaged) {
  entries.clear();
  if (damaged) *damaged = QJsonArray();
  version = 0;
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return false;
  Reader root(document.object());
  if (root.Text("format") != u"vexaro-download-journal") return false;
  const std::uint64_t found = root.Count("version");
  if (!root.ok || found == 0) return false;
  version = static_cast<int>(std::min<std::uint64_t>(found, 1u << 30));
  // A newer program may keep what this one cannot know: leave it be.
  if (version > kVersion) return false;
  for (const QJsonValue& value : root.Array("downloads")) {
    JournalEntry entry;
    if (ParseEntry(value, entry)) {
      entries.push_back(std::move(entry));
    } else if (damaged) {
      damaged->append(value);
    }
  }
  return root.ok;
}

bool DownloadJournal::ParseEntry(const QJsonValue& value, JournalEntry& entry) {
  if (!value.isObject()) return false;
  Reader read(value.toObject());
  entry.id = read.Text("id");
  transfer::HandedDownload& d = entry.download;
  d.url = read.Text("url");
  d.targetPath = read.Text("target");
  d.tempPath = read.Text("temporary");
  d.conversionArgs = read.Text("conversion");
  d.size = static_cast<std::int64_t>(read.Count("size"));
  d.cookie = read.Text("cookie");
  d.referer = read.Text("referer");
  d.replaceTarget = read.Flag("replaceTarget");
  if (read.Has("state")) {
    transfer::ResumeState state;
    if (!StateFromJson(read.Object("state"), state) || !NamesItsOwnFiles(state, d)) return false;
    entry.state = std::move(state);
  }
  return read.ok && !entry.id.empty() && !d.url.empty() && !d.targetPath.empty();
}

}  // namespace manager
