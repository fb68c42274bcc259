#include "manager/DownloadFileDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QIcon>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSvgRenderer>

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <thread>
#include <tuple>
#include <utility>

#include "localisation/Dictionary.h"
#include "manager/AnswerKeys.h"
#include "manager/DesktopNotifier.h"
#include "manager/ScrollWindow.h"
#include "platform/File.h"
#include "platform/OwnerLock.h"
#include "settings/Settings.h"
#include "transfer/DownloadItem.h"

// Resources of a static library must be registered by name, outside any
// namespace.
static void InitManagerResources() { Q_INIT_RESOURCE(manager); }

namespace manager {

using transfer::ToQString;

namespace {

constexpr int kCloseId = 2;
constexpr int kMinimizeId = 3;
constexpr int kAutoCloseId = 210;
constexpr int kHostId = 1800;
constexpr int kFirstRowId = 1600;
constexpr int kRowIdBase = 11000;

constexpr int kRowLeft = 5;
constexpr int kRowWidth = 395;
constexpr int kRowTop = 10;
constexpr int kContentWidth = 400;
constexpr int kPageHeight = 210;  // three rows

// The dialog font of template 403 (8 pt "Microsoft Sans Serif"), or the
// system's sans font where it is missing.
QFont DialogFont() {
  QFont font;
  font.setFamilies({QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  return font;
}

std::u16string ToU16(const char* latin1) { return QString::fromLatin1(latin1).toStdU16String(); }

QIcon AppIcon() {
  InitManagerResources();
  QSvgRenderer renderer(QStringLiteral(":/vexaro/vexaro.svg"));
  QIcon icon;
  for (const int side : {16, 32, 48, 64}) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

// Rows whose worker still ran when their dialog went; deleted by
// WaitForDetachedWorkers. Never destroyed: at exit a worker may still hold
// its row, and deleting it then would be the crash this list exists to avoid.
std::vector<transfer::CDownloadItem*>& DetachedRows() {
  static auto* rows = new std::vector<transfer::CDownloadItem*>;
  return *rows;
}

// How long the dialog's end waits for its rows' workers to stop: a transfer
// notices within a second, a converter is ended within a few.
constexpr auto kWindDownWait = std::chrono::seconds(20);
constexpr int kJournalIntervalMs = 2000;

// A paused row stays in the journal with its files for the next start.
bool Kept(const transfer::CDownloadItem* row) { return row->IsPaused(); }

void ReleaseRow(transfer::CDownloadItem* row) {
  if (!Kept(row)) {
    // Bytes kept only for a Retry nobody can give any more.
    const std::u16string unfinished = row->KeptUnfinishedFile();
    if (!unfinished.empty()) platform::RemoveFile(unfinished);
    // The worker is gone, so nothing uses the temporary file any more.
    if (!row->TempPath().empty()) settings::Settings::DeleteTempFile(row->TempPath());
  }
  delete row;
}

}  // namespace

CDownloadFileDialog::CDownloadFileDialog(std::u16string url, std::u16string tempPath, std::u16string targetPath,
                                         std::u16string conversionArgs, std::int64_t size, std::u16string cookie,
                                         bool autoclose, std::u16string referer, bool replaceTarget,
                                         QWidget* parent)
    : QDialog(parent), m_autoclose(autoclose) {
  m_first.url = std::move(url);
  m_first.tempPath = std::move(tempPath);
  m_first.targetPath = std::move(targetPath);
  m_first.conversionArgs = std::move(conversionArgs);
  m_first.size = size;
  m_first.cookie = std::move(cookie);
  m_first.referer = std::move(referer);
  m_first.replaceTarget = replaceTarget;
  OnInitDialog();
}

CDownloadFileDialog::~CDownloadFileDialog() {
  WindDown();
  for (transfer::CDownloadItem* row : m_rows) {
    if (row->WorkerRunning()) {
      row->Detach();
      DetachedRows().push_back(row);
    } else {
      ReleaseRow(row);
    }
  }
  m_rows.clear();
}

void CDownloadFileDialog::WindDown() {
  m_journalTimer.stop();
  // Every row stops first, so they wind down together: a transfer pauses (it
  // comes back next time), anything else is cancelled.
  for (transfer::CDownloadItem* row : m_rows) {
    disconnect(row, nullptr, this, nullptr);
    if (!row->WorkerRunning()) continue;
    if (row->CanPause()) {
      row->Pause();
    } else {
      row->m_stopEvent.Set();
    }
  }
  // Their last words (the state a pause keeps) come as posted calls.
  const auto deadline = std::chrono::steady_clock::now() + kWindDownWait;
  const auto running = [this] {
    return std::any_of(m_rows.begin(), m_rows.end(), [](const transfer::CDownloadItem* row) {
      return row->WorkerRunning() || row->FlushPending();
    });
  };
  while (running() && std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (transfer::CDownloadItem* row : m_rows) {
    if (!row->WorkerRunning()) row->FlushNow();
  }
  WriteJournal();
}

const char* CDownloadFileDialog::CloseQuestion() {
  return "You have downloads in progress. Are you sure you want to exit?";
}

QRect CDownloadFileDialog::MapDialogRect(int x, int y, int w, int h) const {
  // As the platform maps dialog units: a quarter of the average character
  // width across, an eighth of the character height down, rounded.
  const auto map = [](int units, int base, int divisor) { return (units * base + divisor / 2) / divisor; };
  const int left = map(x, m_baseX, 4);
  const int top = map(y, m_baseY, 8);
  return QRect(left, top, map(x + w, m_baseX, 4) - left, map(y + h, m_baseY, 8) - top);
}

void CDownloadFileDialog::OnInitDialog() {
  localisation::Dictionary* dictionary = localisation::Dictionary::GetInstance();

  setFont(DialogFont());
  const QFontMetrics metrics(font());
  // The average character width as the platform measures it for dialogs.
  const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  m_baseX = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
  m_baseY = metrics.height();

  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  const QRect client = MapDialogRect(0, 0, 289, 182);
  setFixedSize(client.size());

  // 1. Centre in the work area of the screen.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
  }
  // 2. Icon.
  setWindowIcon(AppIcon());
  // 3. Title and the Close button's first text.
  setWindowTitle(ToQString(dictionary->Lookup(u"MANAGER_TITLE")));

  m_closeButton = new QPushButton(ToQString(dictionary->Lookup(u"GENERAL_CANCEL")), this);
  m_closeButton->setProperty("id", kCloseId);
  m_closeButton->setObjectName(QStringLiteral("closeButton"));
  m_closeButton->setGeometry(MapDialogRect(213, 160, 68, 14));
  m_minimizeButton = new QPushButton(ToQString(dictionary->Lookup(u"MANAGER_MINIMIZE", u"Minimize")), this);
  m_minimizeButton->setProperty("id", kMinimizeId);
  m_minimizeButton->setObjectName(QStringLiteral("minimizeButton"));
  m_minimizeButton->setGeometry(MapDialogRect(143, 160, 68, 14));
  // The template has no default button: Enter must neither close nor
  // minimise.
  for (QPushButton* button : {m_closeButton, m_minimizeButton}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  connect(m_closeButton, &QPushButton::clicked, this, &CDownloadFileDialog::OnCloseRequest);
  connect(m_minimizeButton, &QPushButton::clicked, this, &CDownloadFileDialog::OnMinimize);
  m_autoCloseBox =
      new QCheckBox(ToQString(dictionary->Lookup(u"MANAGER_CLOSE_WHEN_FINISHED", u"Close when finished")), this);
  m_autoCloseBox->setProperty("id", kAutoCloseId);
  m_autoCloseBox->setObjectName(QStringLiteral("closeWhenFinished"));
  m_autoCloseBox->setGeometry(MapDialogRect(11, 162, 79, 10));

  // Texts the dialog needs after the launch sequence has let the dictionary go.
  m_closeText = ToQString(dictionary->Lookup(u"MANAGER_CLOSE", u"Close"));
  m_closeQuestion = ToQString(dictionary->Lookup(u"MANAGER_EXIT_QUESTION", ToU16(CloseQuestion())));
  std::tie(m_yesText, m_noText) = WithAnswerAccelerators(ToQString(dictionary->Lookup(u"GENERAL_YES", u"Yes")),
                                                         ToQString(dictionary->Lookup(u"GENERAL_NO", u"No")));

  m_notifyDone = ToQString(dictionary->Lookup(u"MANAGER_DOWNLOAD_COMPLETED", u"Download completed"));
  m_notifyFailed = ToQString(dictionary->Lookup(u"MANAGER_NOTIFY_FAILED", u"Download failed"));
  m_keptAsideText = ToQString(
      dictionary->Lookup(u"MANAGER_JOURNAL_KEPT_ASIDE",
                         u"Some unfinished downloads cannot be shown again. What was known of them is kept in"));
  m_journalTimer.setSingleShot(true);
  m_journalTimer.setInterval(kJournalIntervalMs);
  connect(&m_journalTimer, &QTimer::timeout, this, &CDownloadFileDialog::WriteJournal);
  m_journal.Open();

  // 4. The first row, not yet a window (none without a first download).
  transfer::CDownloadItem* first = nullptr;
  if (!m_first.url.empty()) {
    first = new transfer::CDownloadItem(m_first.url, m_first.tempPath, m_first.targetPath, m_first.conversionArgs,
                                        m_first.size, m_first.cookie, 0, m_first.referer);
    first->SetReplaceTarget(m_first.replaceTarget);
  }
  // 5. The scroll host: the client area less 10 on the left, 50 at the bottom.
  const QColor buttonFace = palette().color(QPalette::Window);
  m_host = new CScrollWindow(this);
  m_host->setObjectName(QStringLiteral("dlHost"));
  m_host->setProperty("id", kHostId);
  m_host->setGeometry(QRect(QPoint(10, 0), QPoint(client.width() - 1, client.height() - 1 - 50)));
  m_hostClient = QRect(QPoint(0, 0), m_host->size());
  // 6. Its background and its scroll sizes: the whole client, default steps.
  m_host->SetBackground(buttonFace);
  m_host->SetScrollMetrics(m_hostClient.size());
  // 7. The first row's window at row position 0.
  if (first) {
    first->SetBackground(buttonFace);
    m_rows.push_back(first);
    Track(first, platform::RandomToken());
    WriteJournal();
    first->Create(m_host->Viewport(),
                  QRect(kRowLeft, kRowTop, kRowWidth, transfer::CDownloadItem::GetItemHeight()), kFirstRowId);
  }
  // 8. The check box.
  m_autoCloseBox->setChecked(m_autoclose);
  // 9. The pending download starts as the first one, without its temporary
  // file.
  m_initialPending = m_first;
  m_initialPending.tempPath.clear();
  m_initialPending.replaceTarget = false;
}

void CDownloadFileDialog::OnCopyData(transfer::HandoffSender sender, std::uint32_t kind, const QByteArray& payload) {
  auto pending = m_pending.find(sender);
  if (pending == m_pending.end()) pending = m_pending.emplace(sender, m_initialPending).first;
  if (kind != transfer::kRecordCommit) {
    transfer::ApplyRecord(pending->second, kind,
                          std::string_view(payload.constData(), static_cast<std::size_t>(payload.size())));
    return;
  }
  AddRow(pending->second);
  // Sent only when set: the sender's next download starts without them.
  pending->second.replaceTarget = false;
  raise();
  activateWindow();
  // The question was asked over this window; coming forward must not hide
  // it behind the window it belongs to.
  if (m_question) {
    m_question->raise();
    m_question->activateWindow();
  }
}

void CDownloadFileDialog::OnSenderGone(transfer::HandoffSender sender) { m_pending.erase(sender); }

transfer::CDownloadItem* CDownloadFileDialog::AddRowWith(
    const PendingDownload& download, std::u16string journalId,
    const std::function<void(transfer::CDownloadItem*, const QRect&, int)>& create) {
  const int index = RowCount();
  auto* row = new transfer::CDownloadItem(download.url, download.tempPath, download.targetPath,
                                          download.conversionArgs, download.size, download.cookie, index,
                                          download.referer);
  row->SetReplaceTarget(download.replaceTarget);
  // Placed at its content position, shifted by how far the list is scrolled,
  // so it lines up with the rows above it.
  const int scrolled = m_host->GetScrollPosition().y();
  const int height = transfer::CDownloadItem::GetItemHeight();
  row->SetBackground(palette().color(QPalette::Window));
  m_rows.push_back(row);
  Track(row, std::move(journalId));
  create(row,
         QRect(m_hostClient.left() + kRowLeft, m_hostClient.top() + kRowTop + height * index - scrolled, kRowWidth,
               height),
         kRowIdBase + index);
  m_host->SetScrollMetrics(QSize(kContentWidth, height * RowCount()), QSize(kContentWidth, kPageHeight));
  return row;
}

void CDownloadFileDialog::AddRow(const PendingDownload& download) {
  AddRowWith(download, platform::RandomToken(), [this](transfer::CDownloadItem* item, const QRect& rect, int id) {
    // In the journal before its worker can make a file.
    WriteJournal();
    item->Create(m_host->Viewport(), rect, id);
  });
}

int CDownloadFileDialog::RestoreUnfinished() {
  int added = 0;
  // The first write after the adoption removes the journals taken over: it
  // comes once every row they held is here with its state.
  for (const JournalEntry& entry : m_journal.AdoptOrphans()) {
    // The conversion's temporary file is this process's to keep now.
    if (!entry.download.tempPath.empty()) settings::Settings::HoldTempFile(entry.download.tempPath);
    AddRowWith(entry.download, entry.id, [this, &entry](transfer::CDownloadItem* item, const QRect& rect, int id) {
      item->CreatePaused(m_host->Viewport(), rect, id, entry.state.value_or(transfer::ResumeState()));
    });
    ++added;
  }
  // Also with nothing added: the journals taken over go.
  WriteJournal();
  if (!m_journal.KeptAside().empty()) ShowKeptAside();
  return added;
}

void CDownloadFileDialog::ShowKeptAside() {
  QStringList files;
  for (const std::u16string& file : m_journal.KeptAside()) files << ToQString(file);
  // Not modal: the rows that did come back go on meanwhile.
  auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(), m_keptAsideText + QStringLiteral(": ") +
                                                                       files.join(QStringLiteral(", ")),
                              QMessageBox::Ok, this);
  box->setObjectName(QStringLiteral("keptAside"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  // Once the window is up, so that the message stands over it.
  QTimer::singleShot(0, box, [box] { box->show(); });
  m_keptAsideShown = true;
}

void CDownloadFileDialog::Track(transfer::CDownloadItem* row, std::u16string journalId) {
  m_journalIds[row] = std::move(journalId);
  connect(row, &transfer::CDownloadItem::finished, this, [this, row] { OnRowFinished(row); });
  connect(row, &transfer::CDownloadItem::paused, this, &CDownloadFileDialog::WriteJournal);
  connect(row, &transfer::CDownloadItem::resumeStateChanged, this, [this, row] {
    // A new unfinished file is named at once, so a start killed in its
    // first seconds does not leave one that nothing knows of; the bytes
    // that follow are written at most every kJournalIntervalMs.
    // So is the end of a transfer (the file placed), which a conversion that
    // follows must not have to fetch again after a kill.
    const std::optional<transfer::ResumeState>& state = row->LastResumeState();
    if (state && state->partOnDisk == (m_journaledParts.count(state->partPath) == 0)) {
      WriteJournal();
    } else if (!m_journalTimer.isActive()) {
      m_journalTimer.start();
    }
  });
}

void CDownloadFileDialog::OnRowFinished(transfer::CDownloadItem* row) {
  WriteJournal();
  Announce(row);
  OnDownloadFinished();
}

void CDownloadFileDialog::Announce(transfer::CDownloadItem* row) {
  // Only for a user who is not looking at the window.
  if (isVisible() && !isMinimized() && isActiveWindow()) return;
  using State = transfer::CDownloadItem::State;
  if (row->CurrentState() != State::Done && row->CurrentState() != State::Failed) return;
  const std::u16string& file = row->ResultPath().empty() ? row->TargetPath() : row->ResultPath();
  const QString name = QFileInfo(ToQString(file)).fileName();
  if (row->CurrentState() == State::Done) {
    DesktopNotifier::Send(m_notifyDone, name);
  } else {
    DesktopNotifier::Send(m_notifyFailed, name + QStringLiteral("\n") + row->StatusText());
  }
}

void CDownloadFileDialog::WriteJournal() {
  m_journalTimer.stop();
  if (!m_journal.IsOpen()) return;
  using State = transfer::CDownloadItem::State;
  std::vector<JournalEntry> entries;
  m_journaledParts.clear();
  for (const transfer::CDownloadItem* row : m_rows) {
    const State state = row->CurrentState();
    const bool unfinished = state == State::Running || state == State::Paused ||
                            (state == State::Failed && !row->KeptUnfinishedFile().empty());
    if (!unfinished) continue;
    JournalEntry entry;
    entry.id = m_journalIds[row];
    entry.download.url = row->Url();
    entry.download.targetPath = row->TargetPath();
    entry.download.tempPath = row->TempPath();
    entry.download.conversionArgs = row->ConversionArgs();
    entry.download.size = static_cast<std::int64_t>(row->Size());
    entry.download.cookie = row->Cookie();
    entry.download.referer = row->Referer();
    entry.download.replaceTarget = row->ReplaceTarget();
    entry.state = row->LastResumeState();
    if (entry.state && entry.state->partOnDisk) m_journaledParts.insert(entry.state->partPath);
    entries.push_back(std::move(entry));
  }
  m_journal.Write(entries);
}

bool CDownloadFileDialog::AllFinished() const {
  for (const transfer::CDownloadItem* row : m_rows) {
    if (!row->IsFinished()) return false;
  }
  return true;
}

void CDownloadFileDialog::reject() { OnCloseRequest(); }

void CDownloadFileDialog::OnCloseRequest() {
  // A download handed over while the question is open was not asked about:
  // its sender has been told it is taken. A Yes then does not end it; the
  // question is asked again, now about them too.
  while (!AllFinished()) {
    const std::size_t rowsAsked = m_rows.size();
    QMessageBox question(QMessageBox::Question, QString(), m_closeQuestion, QMessageBox::Yes | QMessageBox::No, this);
    question.setObjectName(QStringLiteral("closeQuestion"));
    question.setDefaultButton(QMessageBox::No);
    question.button(QMessageBox::Yes)->setText(m_yesText);
    question.button(QMessageBox::No)->setText(m_noText);
    m_question = &question;
    const int answer = question.exec();
    m_question = nullptr;
    if (answer != QMessageBox::Yes) return;
    if (m_rows.size() == rowsAsked) break;
  }
  QDialog::reject();
}

void CDownloadFileDialog::OnMinimize() { showMinimized(); }

void CDownloadFileDialog::OnDownloadFinished() {
  if (!AllFinished()) return;
  m_closeButton->setText(m_closeText);
  // A failure must be seen: with one on a row the window stays, and the Close
  // button (all rows finished) then closes it without a question.
  const bool anyFailed =
      std::any_of(m_rows.begin(), m_rows.end(), [](const transfer::CDownloadItem* row) { return row->Failed(); });
  if (m_autoCloseBox->isChecked() && !anyFailed) {
    // A close question still open has nothing left to ask about.
    if (m_question) m_question->done(QMessageBox::No);
    done(QDialog::Accepted);
  }
}

void WaitForDetachedWorkers() {
  std::vector<transfer::CDownloadItem*>& rows = DetachedRows();
  for (;;) {
    bool running = false;
    for (const transfer::CDownloadItem* row : rows) running = running || row->WorkerRunning();
    if (!running) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (transfer::CDownloadItem* row : rows) ReleaseRow(row);
  rows.clear();
}

}  // namespace manager
