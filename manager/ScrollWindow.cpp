#include "manager/ScrollWindow.h"

#include <QApplication>
#include <QEvent>
#include <QScrollBar>
#include <QStyle>
#include <QWheelEvent>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace manager {

namespace {

constexpr int kWheelDelta = 120;
constexpr int kPageScroll = -1;  // the system's "one screen per notch"

// a * b / c rounded to the nearest integer, halves away from zero, as the
// platform's MulDiv computes the wheel's steps.
int MulDiv(int a, int b, int c) {
  const std::int64_t product = static_cast<std::int64_t>(a) * b;
  const std::int64_t half = (c < 0 ? -c : c) / 2;
  const bool negative = (product < 0) != (c < 0);
  const std::int64_t magnitude = ((product < 0 ? -product : product) + half) / (c < 0 ? -c : c);
  return static_cast<int>(negative ? -magnitude : magnitude);
}

int ClampToInt(std::int64_t value) {
  return static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
}

// One direction of a scroll code, from the current position.
std::int64_t Requested(int request, std::int64_t position, int line, int page, int track) {
  switch (request) {
    case SB_LINEUP: return position - line;
    case SB_LINEDOWN: return position + line;
    case SB_PAGEUP: return position - page;
    case SB_PAGEDOWN: return position + page;
    case SB_THUMBTRACK: return track;
    case SB_TOP: return 0;
    case SB_BOTTOM: return INT_MAX;  // clamped to the last position later
    default: return position;        // SB_THUMBPOSITION, SB_ENDSCROLL, others
  }
}

}  // namespace

CScrollWindow::CScrollWindow(QWidget* parent) : QWidget(parent) {
  m_viewport = new QWidget(this);
  m_viewport->setObjectName(QStringLiteral("viewport"));
  m_vbar = new QScrollBar(Qt::Vertical, this);
  m_vbar->setObjectName(QStringLiteral("verticalBar"));
  m_vbar->hide();
  m_vbar->installEventFilter(this);
  connect(m_vbar, &QScrollBar::actionTriggered, this, &CScrollWindow::OnBarAction);
  SetScrollMetrics(QSize(0, 0));
}

void CScrollWindow::SetBackground(const QColor& colour) {
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, colour);
  setPalette(palette);
  setAutoFillBackground(true);
}

void CScrollWindow::SetScrollMetrics(QSize total, QSize page, QSize line) {
  m_total = total;
  m_page = page;
  m_line = line;
  if (m_page.width() == 0) m_page.setWidth(m_total.width() / 10);
  if (m_page.height() == 0) m_page.setHeight(m_total.height() / 10);
  if (m_line.width() == 0) m_line.setWidth(m_page.width() / 10);
  if (m_line.height() == 0) m_line.setHeight(m_page.height() / 10);
  UpdateBars();
}

bool CScrollWindow::VerticalBarShown() const { return !m_vbar->isHidden(); }

int CScrollWindow::BarExtent() const { return style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_vbar); }

int CScrollWindow::VerticalLimit() const { return VerticalBarShown() ? m_vbar->maximum() : 0; }

void CScrollWindow::PlaceViewport() {
  const int extent = BarExtent();
  const int barWidth = VerticalBarShown() ? extent : 0;
  m_viewport->setGeometry(0, 0, std::max(0, width() - barWidth), height());
  m_vbar->setGeometry(width() - extent, 0, extent, height());
}

void CScrollWindow::UpdateBars() {
  if (m_updating) return;
  m_updating = true;
  const int extent = BarExtent();
  // The size without bars: the viewport plus the bar it gave room to.
  const QSize trueClient = size();
  const QSize client(width() - (VerticalBarShown() ? extent : 0), height());
  if (trueClient.width() <= extent || trueClient.height() <= extent) {
    if (client.width() > 0 && client.height() > 0) {
      m_vbar->hide();
      PlaceViewport();
    }
    m_updating = false;
    return;
  }

  QSize range = m_total - trueClient;
  QPoint target = m_position;
  bool needH = range.width() > 0;
  if (!needH) target.setX(0);
  else range.rheight() += extent;
  const bool needV = range.height() > 0;
  if (!needV) target.setY(0);
  else range.rwidth() += extent;
  if (needV && !needH && range.width() > 0) {
    needH = true;
    range.rheight() += extent;
  }
  if (range.width() > 0 && target.x() >= range.width()) target.setX(range.width());
  if (range.height() > 0 && target.y() >= range.height()) target.setY(range.height());
  // The horizontal bar is never shown, but the room it would take is left,
  // as the window's own bars would.
  const int clientHeight = trueClient.height() - (needH ? extent : 0);

  // The bar's range first, so the scroll below is clamped by the new limit.
  m_vbar->setVisible(needV);
  if (needV) {
    m_vbar->setRange(0, std::max(0, m_total.height() - clientHeight));
    m_vbar->setPageStep(clientHeight);
    m_vbar->setSingleStep(std::max(1, m_line.height()));
  }
  PlaceViewport();
  ScrollToPosition(target);
  m_updating = false;
}

void CScrollWindow::ScrollToPosition(QPoint target) {
  // No horizontal bar, so x stays 0.
  const int y = std::clamp(target.y(), 0, VerticalLimit());
  const int dy = m_position.y() - y;
  m_position = QPoint(0, y);
  if (VerticalBarShown()) m_vbar->setValue(y);
  if (dy == 0) return;
  if (m_viewport->isVisible()) {
    m_viewport->scroll(0, dy);
  } else {
    // QWidget::scroll leaves the children of a hidden widget where they are.
    for (QObject* child : m_viewport->children()) {
      if (auto* widget = qobject_cast<QWidget*>(child)) widget->move(widget->pos() + QPoint(0, dy));
    }
  }
}

bool CScrollWindow::ScrollByOffset(int dx, int dy, bool doScroll) {
  (void)dx;  // no horizontal bar, so a horizontal offset counts as 0
  if (!VerticalBarShown()) dy = 0;
  const int y = ClampToInt(std::clamp<std::int64_t>(static_cast<std::int64_t>(m_position.y()) + dy, 0,
                                                    VerticalLimit()));
  if (y == m_position.y()) return false;
  if (doScroll) ScrollToPosition(QPoint(0, y));
  return true;
}

bool CScrollWindow::ScrollByCode(int code, bool doScroll) {
  const int horizontal = code & 0xFF;
  const int vertical = (code >> 8) & 0xFF;
  std::int64_t x = m_position.x();
  std::int64_t y = m_position.y();
  if (horizontal != kNoRequest) x = Requested(horizontal, x, m_line.width(), m_page.width(), 0);
  if (vertical != kNoRequest) y = Requested(vertical, y, m_line.height(), m_page.height(), m_vbar->sliderPosition());
  const bool scrolled =
      ScrollByOffset(ClampToInt(x - m_position.x()), ClampToInt(y - m_position.y()), doScroll);
  if (scrolled && doScroll) repaint();
  return scrolled;
}

bool CScrollWindow::OnMouseWheel(Qt::KeyboardModifiers modifiers, int delta) {
  if (modifiers & (Qt::ShiftModifier | Qt::ControlModifier)) return false;
  if (!VerticalBarShown()) return false;
  // Qt keeps the desktop's setting and tells of changes itself, so it is
  // read on every notch instead of being cached here.
  const int offset = WheelOffset(delta, QApplication::wheelScrollLines(), m_page.height(), m_line.height());
  const bool scrolled = ScrollByOffset(0, offset, true);
  if (scrolled) repaint();
  return scrolled;
}

int CScrollWindow::WheelOffset(int delta, int linesPerNotch, int pageHeight, int lineHeight) {
  const int steps = MulDiv(-delta, linesPerNotch, kWheelDelta);
  if (linesPerNotch == kPageScroll || steps == -1) return delta > 0 ? -pageHeight : pageHeight;
  // Only the downward step is capped.
  return ClampToInt(std::min<std::int64_t>(static_cast<std::int64_t>(steps) * lineHeight, pageHeight));
}

void CScrollWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PlaceViewport();
  UpdateBars();
}

void CScrollWindow::wheelEvent(QWheelEvent* event) {
  event->setAccepted(OnMouseWheel(event->modifiers(), event->angleDelta().y()));
}

bool CScrollWindow::eventFilter(QObject* watched, QEvent* event) {
  // The wheel over the bar follows the window's rule, not the bar's own.
  if (watched == m_vbar && event->type() == QEvent::Wheel) {
    wheelEvent(static_cast<QWheelEvent*>(event));
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void CScrollWindow::OnBarAction(int action) {
  int code = -1;
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd: code = SB_LINEDOWN; break;
    case QAbstractSlider::SliderSingleStepSub: code = SB_LINEUP; break;
    case QAbstractSlider::SliderPageStepAdd: code = SB_PAGEDOWN; break;
    case QAbstractSlider::SliderPageStepSub: code = SB_PAGEUP; break;
    case QAbstractSlider::SliderToMinimum: code = SB_TOP; break;
    case QAbstractSlider::SliderToMaximum: code = SB_BOTTOM; break;
    case QAbstractSlider::SliderMove: code = SB_THUMBTRACK; break;
    default: return;
  }
  ScrollByCode(kNoRequest | (code << 8), true);
  // The bar applies its own step after this; ours stands instead.
  m_vbar->setSliderPosition(m_position.y());
}

}  // namespace manager
