#include "transfer/DownloadItem.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QIcon>
#include <QMetaMethod>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QSvgRenderer>
#include <QUrl>

#include <algorithm>
#include <utility>

#include "localisation/Dictionary.h"
#include "platform/File.h"
#include "platform/PartFile.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "transfer/Download.h"

// Resources of a static library must be registered by name, outside any
// namespace.
static void InitRowResources() { Q_INIT_RESOURCE(row); }

namespace transfer {

namespace {

constexpr int kCancelId = 404;
constexpr int kBarId = 1600;
constexpr int kStaticId = 0xFFFF;
// About one frame: a fast download posts far more often than anyone sees.
constexpr int kFlushIntervalMs = 16;

std::atomic<CDownloadItem::WorkerStarter> g_workerStarter{&Download::Start};

QColor FromRgb(std::uint32_t rgb) {  // 0x00BBGGRR
  return QColor(static_cast<int>(rgb & 0xFF), static_cast<int>((rgb >> 8) & 0xFF), static_cast<int>((rgb >> 16) & 0xFF));
}

// The bar's colour can only be set on a style that draws it plainly with
// the palette's highlight; one such style serves every row.
QStyle* PlainBarStyle() {
  static QStyle* style = [] {
    QStyle* made = QStyleFactory::create(QStringLiteral("Fusion"));
    if (made) made->setParent(qApp);
    return made;
  }();
  return style;
}

// A 16 x 16 face drawn from the row's SVG resources (rendered here, so no
// icon plugin is needed).
QIcon RowIcon(const char* name) {
  QSvgRenderer renderer(QStringLiteral(":/vexaro/%1.svg").arg(QLatin1String(name)));
  QIcon icon;
  for (const int side : {16, 32}) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

// 9-point Arial, or the system's sans font where Arial is missing.
QFont RowFont() {
  QFont font;
  font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(9);
  return font;
}

}  // namespace

PathLine::PathLine(QWidget* parent) : QWidget(parent) {}

void PathLine::SetText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  update();
}

namespace {

// The longest start of text that fits width, a surrogate pair kept whole
// (paths may be thousands of characters long, so the cut is searched, not
// walked). 0 when not even one character fits.
qsizetype FittingStart(const QString& text, qsizetype limit, const QFontMetrics& metrics, int width) {
  qsizetype fits = 0;
  qsizetype tooLong = limit + 1;
  while (tooLong - fits > 1) {
    const qsizetype middle = fits + (tooLong - fits) / 2;
    if (metrics.horizontalAdvance(text.left(middle)) <= width) fits = middle;
    else tooLong = middle;
  }
  if (fits > 0 && text.at(fits - 1).isHighSurrogate()) --fits;
  return fits;
}

// A path alone: its head gives way first, then the file name's beginning.
QString ElidePathOnly(const QString& text, const QFontMetrics& metrics, int width) {
  if (metrics.horizontalAdvance(text) <= width) return text;
  const QString ellipsis = QStringLiteral("...");
  const qsizetype slash = text.lastIndexOf(u'/');
  if (slash >= 0) {
    const QString tail = text.mid(slash);
    const int room = width - metrics.horizontalAdvance(ellipsis + tail);
    if (room >= 0) return text.left(FittingStart(text, slash, metrics, room)) + ellipsis + tail;
  }
  return metrics.elidedText(text, Qt::ElideLeft, width);
}

}  // namespace

QString PathLine::ElidePath(const QString& text, const QFontMetrics& metrics, int width) {
  if (metrics.horizontalAdvance(text) <= width) return text;
  // The status before the path ends at the first ": /".
  const qsizetype pathStart = text.indexOf(QStringLiteral(": /"));
  if (pathStart < 0) return ElidePathOnly(text, metrics, width);
  const QString status = text.left(pathStart + 2);
  const int room = width - metrics.horizontalAdvance(status);
  const QString ellipsis = QStringLiteral("...");
  if (room < metrics.horizontalAdvance(ellipsis)) {
    // Not even a trace of the path fits: the status is cut, at its end.
    return metrics.elidedText(status.trimmed(), Qt::ElideRight, width);
  }
  return status + ElidePathOnly(text.mid(pathStart + 2), metrics, room);
}

QString PathLine::DisplayedText() const { return ElidePath(text_, QFontMetrics(font()), width()); }

void PathLine::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(rect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, DisplayedText());
}

CDownloadItem::CDownloadItem(std::u16string url, std::u16string tempPath, std::u16string targetPath,
                             std::u16string conversionArgs, std::int64_t size, std::u16string cookie, int rowIndex,
                             std::u16string referer)
    : m_url(std::move(url)),
      m_tempPath(std::move(tempPath)),
      m_conversionArgs(std::move(conversionArgs)),
      // A negative size (from "/size:-5" or a size record) is as unknown as 0.
      m_size(size > 0 ? static_cast<std::uint64_t>(size) : 0),
      m_cookie(std::move(cookie)),
      m_referer(std::move(referer)),
      m_stopEventName(platform::Format("stopevent%d", rowIndex)) {
  m_targetPath = std::move(targetPath);
  m_flushTimer.setSingleShot(true);
  m_flushTimer.setTimerType(Qt::PreciseTimer);
  connect(&m_flushTimer, &QTimer::timeout, this, &CDownloadItem::Flush);
  m_sinceFlush.start();
}

CDownloadItem::~CDownloadItem() {
  // As the window's destruction does in OnDestroy. The owner deletes a row
  // only once its worker is gone, so no worker is left to see it.
  m_barAlive = false;
  m_stopEvent.Set();
}

void CDownloadItem::Create(QWidget* parent, const QRect& rect, int id) {
  setParent(parent);
  setObjectName(QStringLiteral("dlitem"));
  setProperty("id", id);
  setGeometry(rect);
  OnCreate();
  show();
}

QPushButton* CDownloadItem::MakeButton(const char* name, const char* icon, const QString& tip, int slot) {
  auto* button = new QPushButton(this);
  button->setObjectName(QLatin1String(name));
  button->setAccessibleName(tip);
  button->setToolTip(tip);
  // Slot 1 is where the design's Cancel stands, slot 0 left of it.
  button->setGeometry(width() - (slot == 1 ? 25 : 50), 20, 20, 30);
  button->setFlat(true);
  button->setFocusPolicy(Qt::NoFocus);
  button->setIcon(icon ? RowIcon(icon) : QIcon(QStringLiteral(":/vexaro/cancel.png")));
  button->setIconSize(QSize(16, 16));
  button->hide();
  return button;
}

void CDownloadItem::MakeControls() {
  InitRowResources();
  const int w = width();

  m_progress = new QProgressBar(this);
  m_progress->setObjectName(QStringLiteral("progress"));
  m_progress->setProperty("id", kBarId);
  m_progress->setGeometry(0, 25, w - 55, 12);
  m_progress->setRange(0, 100);
  m_progress->setValue(0);
  m_progress->setTextVisible(false);
  if (QStyle* plain = PlainBarStyle()) m_progress->setStyle(plain);
  m_progress->show();

  m_statusLine = new PathLine(this);
  m_statusLine->setObjectName(QStringLiteral("statusLine"));
  m_statusLine->setProperty("id", kStaticId);
  m_statusLine->setGeometry(0, 0, w, 20);
  m_statusLine->SetText(QStringLiteral("Loading"));
  m_statusLine->show();

  m_detailLine = new PathLine(this);
  m_detailLine->setObjectName(QStringLiteral("detailLine"));
  m_detailLine->setProperty("id", kStaticId);
  m_detailLine->setGeometry(0, 40, w, 20);
  m_detailLine->show();

  const QFont font = RowFont();
  m_statusLine->setFont(font);
  m_detailLine->setFont(font);

  localisation::Dictionary* dictionary = localisation::Dictionary::GetInstance();
  const auto text = [dictionary](const char16_t* key, const char16_t* english) {
    return ToQString(dictionary->Lookup(key, english));
  };
  m_cancelButton = MakeButton("Cancel", nullptr, ToQString(dictionary->Lookup(u"GENERAL_CANCEL")), 1);
  m_cancelButton->setProperty("id", kCancelId);
  connect(m_cancelButton, &QPushButton::clicked, this, &CDownloadItem::OnCancelButton);
  m_pauseButton = MakeButton("Pause", "pause", text(u"MANAGER_BUTTON_PAUSE", u"Pause"), 0);
  connect(m_pauseButton, &QPushButton::clicked, this, &CDownloadItem::Pause);
  m_resumeButton = MakeButton("Resume", "resume", text(u"MANAGER_BUTTON_RESUME", u"Resume"), 0);
  connect(m_resumeButton, &QPushButton::clicked, this, [this] { Resume(); });
  m_openButton = MakeButton("Open", "open", text(u"MANAGER_BUTTON_OPEN", u"Open"), 0);
  connect(m_openButton, &QPushButton::clicked, this, &CDownloadItem::OpenResult);
  m_folderButton = MakeButton("ShowInFolder", "folder", text(u"MANAGER_BUTTON_SHOW_IN_FOLDER", u"Show in folder"), 1);
  connect(m_folderButton, &QPushButton::clicked, this, &CDownloadItem::ShowResultInFolder);
  m_retryButton = MakeButton("Retry", "retry", text(u"MANAGER_BUTTON_RETRY", u"Retry"), 1);
  connect(m_retryButton, &QPushButton::clicked, this, [this] { Retry(); });

  m_ofText = dictionary->Lookup(u"MANAGER_DOWNLOAD_PROGRESS_TEXT_OF");
  m_completedText = dictionary->Lookup(u"MANAGER_DOWNLOAD_COMPLETED", u"Download completed");
  m_pausedText = dictionary->Lookup(u"MANAGER_STATUS_PAUSED", u"Paused");
  m_cancelledText = dictionary->Lookup(u"MANAGER_ERROR_DOWNLOAD_CANCELED");
}

void CDownloadItem::OnCreate() {
  MakeControls();
  localisation::Dictionary* dictionary = localisation::Dictionary::GetInstance();
  const std::u16string first =
      m_tempPath.empty() ? dictionary->Lookup(u"MANAGER_DOWNLOAD_FILE") + u": " + m_targetPath
                         : dictionary->Lookup(u"MANAGER_DOWNLOAD_FILE_TEMP") + u": " + m_tempPath;
  m_statusLine->SetText(ToQString(first));
  m_barAlive = true;
  StartWorker(std::nullopt);
}

void CDownloadItem::CreatePaused(QWidget* parent, const QRect& rect, int id, const ResumeState& state) {
  setParent(parent);
  setObjectName(QStringLiteral("dlitem"));
  setProperty("id", id);
  setGeometry(rect);
  MakeControls();
  m_barAlive = true;
  m_resume = state;
  m_state = State::Paused;
  const std::uint64_t onDisk = state.partOnDisk ? state.onDisk.Total() : 0;
  const std::uint64_t total = m_size > 0 ? m_size : state.size.value_or(0);
  m_statusLine->SetText(ToQString(m_pausedText + u": " + m_targetPath));
  m_detailLine->SetText(ToQString(ProgressText(onDisk, total, m_ofText)));
  m_progress->setValue(ProgressPercent(onDisk, total));
  ShowButtons();
  show();
}

bool CDownloadItem::StartWorker(std::optional<ResumeState> resume) {
  auto* params = new DownloadThreadParams;
  params->row = this;
  params->url = m_url;
  params->targetPath = m_targetPath;
  params->temporaryPath = m_tempPath;
  params->conversionArguments = m_conversionArgs;
  params->dictionary = localisation::Dictionary::GetInstance();
  params->size = m_size;
  params->cookie = m_cookie;
  params->referer = m_referer;
  params->replaceTarget = m_replaceTarget;
  // The row keeps a failed transfer's bytes for Retry; the dialog removes
  // them when it lets the row go.
  params->keepUnfinished = true;
  // Continue only where the bytes are still there (or, for a conversion,
  // where the whole download is).
  if (resume && (resume->partOnDisk || (!m_tempPath.empty() && IsPlacedAt(*resume, m_tempPath)))) {
    params->resume = std::move(resume);
  }
  m_state = State::Running;
  m_transferOver = false;
  m_finishedShown = false;
  m_pauseRequested = false;
  // A signal the last worker never took (a Pause that landed as it failed
  // for good) is not meant for this one, which would take it for a Cancel
  // and remove the bytes it is to continue.
  m_stopEvent.TryWait();
  m_workerDone = false;
  // The starter copies the worker's texts here, on the UI thread, so the
  // worker never reads the Dictionary.
  m_workerStarted = g_workerStarter.load()(params);
  m_cancelButton->show();
  ShowButtons();
  return m_workerStarted;
}

void CDownloadItem::ShowButtons() {
  if (!m_cancelButton) return;
  const bool running = m_state == State::Running;
  const bool done = m_state == State::Done;
  const bool keptOriginal = !m_resultPath.empty() && (m_state == State::Failed || m_state == State::Cancelled);
  m_pauseButton->setVisible(running && !m_transferOver && m_workerStarted);
  m_resumeButton->setVisible(m_state == State::Paused);
  m_openButton->setVisible(done && !m_resultPath.empty());
  m_folderButton->setVisible((done && !m_resultPath.empty()) || keptOriginal);
  m_retryButton->setVisible(m_state == State::Failed && m_retryable);
  // While running the worker decides (the design's hidden Cancel after the
  // transfer, shown again for a conversion).
  if (m_state == State::Paused) m_cancelButton->show();
  if (m_state != State::Running && m_state != State::Paused) m_cancelButton->hide();
}

void CDownloadItem::Pause() {
  if (m_state != State::Running || !WorkerRunning() || m_transferOver) return;
  m_pauseRequested = true;
  m_stopEvent.Set();
}

bool CDownloadItem::Resume() {
  if (m_state != State::Paused || WorkerRunning()) return false;
  return StartWorker(m_resume);
}

bool CDownloadItem::Retry() {
  if (m_state != State::Failed || !m_retryable || WorkerRunning()) return false;
  // A new try starts with a clean slate of texts.
  m_detailLine->SetText(QString());
  m_progress->setValue(0);
  return StartWorker(m_resume);
}

std::u16string CDownloadItem::KeptUnfinishedFile() const {
  const bool keeps = m_state == State::Paused || (m_state == State::Failed && m_retryable);
  return keeps && m_resume && m_resume->partOnDisk ? m_resume->partPath : std::u16string();
}

void CDownloadItem::CancelStopped() {
  if (WorkerRunning()) return;
  const bool failedWithBytes = m_state == State::Failed && m_retryable;
  if (m_state != State::Paused && !failedWithBytes) return;
  const std::u16string unfinished = KeptUnfinishedFile();
  if (!unfinished.empty()) {
    platform::RemoveFile(unfinished);
  } else if (m_state == State::Paused) {
    // A row that came back without a state (its program ended before the
    // first report) may still have left its unfinished file.
    platform::RemoveUnheldPartFile(PartPathFor(FetchedPath(m_targetPath, m_tempPath)));
  }
  if (m_resume) {
    m_resume->partOnDisk = false;
    m_resume->onDisk.Clear();
  }
  m_retryable = false;
  if (m_state == State::Paused) {
    // As a cancelled transfer ends: recorded, the row says so and is done.
    settings::ReportError(kEAbort, settings::errors::kTransferFailed);
    m_statusLine->SetText(ToQString(m_cancelledText + u": " + m_targetPath));
    m_appliedStatus.push_back(m_statusLine->Text());
    m_state = State::Cancelled;
    m_cancelled = true;
    m_finished = true;
    m_finishedShown = true;
    ShowButtons();
    emit resumeStateChanged();
    emit finished();
    return;
  }
  ShowButtons();
  emit resumeStateChanged();
}

void CDownloadItem::OpenResult() {
  if (m_resultPath.empty()) return;
  QDesktopServices::openUrl(QUrl::fromLocalFile(ToQString(m_resultPath)));
}

void CDownloadItem::ShowResultInFolder() {
  if (m_resultPath.empty()) return;
  const QString file = ToQString(m_resultPath);
  // File managers that take it select the file in its folder; elsewhere the
  // folder itself opens.
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
  call << QStringList{QUrl::fromLocalFile(file).toString()} << QString();
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected() && bus.call(call, QDBus::Block, 2000).type() == QDBusMessage::ReplyMessage) return;
  QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(file).absolutePath()));
}

QStringList CDownloadItem::VisibleButtons() const {
  QStringList names;
  for (QPushButton* button : {m_pauseButton, m_resumeButton, m_openButton, m_cancelButton, m_folderButton,
                              m_retryButton}) {
    if (button && !button->isHidden()) names << button->objectName();
  }
  return names;
}

void CDownloadItem::OnCancelButton() {
  if (WorkerRunning()) {
    m_stopEvent.Set();
  } else {
    CancelStopped();
  }
}

void CDownloadItem::SetBackground(const QColor& colour) {
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, colour);
  setPalette(palette);
  setAutoFillBackground(true);
}

void CDownloadItem::Detach() {
  m_barAlive = false;
  m_stopEvent.Set();
  setParent(nullptr);
  hide();
}

CDownloadItem::WorkerStarter CDownloadItem::SetWorkerStarter(WorkerStarter starter) {
  return g_workerStarter.exchange(starter ? starter : &Download::Start);
}

QString CDownloadItem::StatusText() const { return m_statusLine ? m_statusLine->Text() : QString(); }
QString CDownloadItem::StatusDisplayed() const { return m_statusLine ? m_statusLine->DisplayedText() : QString(); }
QString CDownloadItem::DetailText() const { return m_detailLine ? m_detailLine->Text() : QString(); }
int CDownloadItem::BarPosition() const { return m_progress ? m_progress->value() : 0; }
QColor CDownloadItem::BarColour() const {
  return m_progress ? m_progress->palette().color(QPalette::Highlight) : QColor();
}
bool CDownloadItem::CancelShown() const { return m_cancelButton && !m_cancelButton->isHidden(); }

namespace {

const QMetaMethod& UpdatePostedMethod() {
  static const QMetaMethod method = CDownloadItem::staticMetaObject.method(
      CDownloadItem::staticMetaObject.indexOfMethod("OnUpdatePosted()"));
  return method;
}

}  // namespace

// The flush is posted by meta-method so that everything the hand-over
// allocates, and frees, stays inside Qt. A member-pointer invokeMethod builds
// a slot object here on the worker, and emitting a signal here lets Qt free
// the row's disconnected connections on the worker; both are sound, but Qt's
// locks are invisible to ThreadSanitizer, which then reports them as races.
template <typename F>
void CDownloadItem::Post(F&& record) {
  std::lock_guard<std::mutex> lock(m_pendingLock);
  record(m_pending);
  if (m_flushPosted) return;
  m_flushPosted = true;
  UpdatePostedMethod().invoke(this, Qt::QueuedConnection);
}

void CDownloadItem::SetStatusText(const std::u16string& text) {
  Post([&](Pending& p) { p.ordered.push_back({OpKind::Status, text}); });
}

void CDownloadItem::SetDetailText(const std::u16string& text) {
  Post([&](Pending& p) { p.detail = text; });
}

void CDownloadItem::SetBarPosition(int position) {
  Post([&](Pending& p) { p.bar = position; });
}

void CDownloadItem::SetBarColour(std::uint32_t rgb) {
  Post([&](Pending& p) { p.ordered.push_back({OpKind::Colour, {}, rgb}); });
}

void CDownloadItem::HideCancel() {
  Post([](Pending& p) { p.ordered.push_back({OpKind::HideCancel, {}}); });
}

void CDownloadItem::ShowCancel() {
  Post([](Pending& p) { p.ordered.push_back({OpKind::ShowCancel, {}}); });
}

void CDownloadItem::NotifyPaused() {
  Post([](Pending& p) { p.ordered.push_back({OpKind::Paused, {}}); });
}

void CDownloadItem::SetResultPath(const std::u16string& path) {
  Post([&](Pending& p) { p.ordered.push_back({OpKind::Result, path}); });
}

void CDownloadItem::OnResumeState(const ResumeState& state) {
  Post([&](Pending& p) { p.resume = state; });
}

void CDownloadItem::NotifyFinished() {
  Post([](Pending& p) { p.ordered.push_back({OpKind::Finished, {}}); });
}

bool CDownloadItem::FlushPending() const {
  std::lock_guard<std::mutex> lock(m_pendingLock);
  return m_flushPosted;
}

void CDownloadItem::OnUpdatePosted() {
  const qint64 since = m_sinceFlush.elapsed();
  if (since >= kFlushIntervalMs) {
    Flush();
  } else if (!m_flushTimer.isActive()) {
    m_flushTimer.start(static_cast<int>(kFlushIntervalMs - since));
  }
}

void CDownloadItem::Flush() {
  Pending taken;
  {
    std::lock_guard<std::mutex> lock(m_pendingLock);
    std::swap(taken, m_pending);
    m_flushPosted = false;
  }
  m_sinceFlush.restart();
  if (!m_progress) return;  // not created: nothing can have been posted

  // Each property ends at its last value whatever the interleaving, so the
  // ordered changes go first and the coalesced ones after them; the notice
  // comes last, once the row shows everything the worker said.
  bool finishedNow = false;
  bool pausedNow = false;
  const bool resumeChanged = taken.resume.has_value();
  if (taken.resume) m_resume = std::move(taken.resume);
  for (const Op& op : taken.ordered) {
    switch (op.kind) {
      case OpKind::Status:
        m_statusLine->SetText(ToQString(op.text));
        m_appliedStatus.push_back(m_statusLine->Text());
        break;
      case OpKind::Colour: {
        QPalette palette = m_progress->palette();
        palette.setColor(QPalette::Highlight, FromRgb(op.value));
        m_progress->setPalette(palette);
        break;
      }
      case OpKind::HideCancel:
        m_cancelButton->hide();
        // The transfer is over: a pause no longer applies.
        m_transferOver = true;
        m_pauseButton->hide();
        break;
      case OpKind::ShowCancel:
        m_cancelButton->show();
        break;
      case OpKind::Finished:
        finishedNow = true;
        break;
      case OpKind::Paused:
        pausedNow = true;
        break;
      case OpKind::Result:
        m_resultPath = op.text;
        break;
    }
  }
  if (taken.detail) m_detailLine->SetText(ToQString(*taken.detail));
  if (taken.bar) m_progress->setValue(std::clamp(*taken.bar, 0, 100));
  if (resumeChanged) emit resumeStateChanged();
  if (pausedNow) {
    m_state = State::Paused;
    ShowButtons();
    emit paused();
  }
  if (finishedNow) {
    m_state = m_failed ? State::Failed : m_cancelled ? State::Cancelled : State::Done;
    m_finishedShown = true;
    ShowButtons();
    emit finished();
  }
}

}  // namespace transfer
