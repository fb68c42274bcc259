// CScrollWindow: a plain child window that holds other windows (the download
// rows) on a content area taller than itself and scrolls them vertically,
// with its own scroll bar and with the mouse wheel. It knows nothing of rows:
// its owner sets the content size and places children in Viewport() at their
// content position minus GetScrollPosition().
//
// The scroll bar sits at the right edge, outside the viewport, as a window's
// own scroll bar lies outside its client area; the viewport is the client
// area. Scrolling moves the existing children with QWidget::scroll, so they
// never need placing again. Pixels only; no horizontal bar is ever shown.
//
// UI thread only.
#pragma once

#include <QColor>
#include <QPoint>
#include <QSize>
#include <QWidget>

class QScrollBar;
class QWheelEvent;

namespace manager {

// Scroll codes of ScrollByCode, as the platform numbers them.
inline constexpr int SB_LINEUP = 0;
inline constexpr int SB_LINEDOWN = 1;
inline constexpr int SB_PAGEUP = 2;
inline constexpr int SB_PAGEDOWN = 3;
inline constexpr int SB_THUMBPOSITION = 4;
inline constexpr int SB_THUMBTRACK = 5;
inline constexpr int SB_TOP = 6;
inline constexpr int SB_BOTTOM = 7;
inline constexpr int SB_ENDSCROLL = 8;
inline constexpr int kNoRequest = 0xFF;

class CScrollWindow : public QWidget {
  Q_OBJECT

 public:
  explicit CScrollWindow(QWidget* parent = nullptr);

  // The client area: rows are its children.
  QWidget* Viewport() const { return m_viewport; }
  void SetBackground(const QColor& colour);

  // Stores the content size, the page and the line step. A page component
  // of 0 becomes the total's tenth, then a line component of 0 the page's
  // tenth (truncating). Updates the bar at once.
  void SetScrollMetrics(QSize total, QSize page = QSize(0, 0), QSize line = QSize(0, 0));
  QSize TotalSize() const { return m_total; }
  QSize PageSize() const { return m_page; }
  QSize LineSize() const { return m_line; }

  // The content's offset (0 at the top).
  QPoint GetScrollPosition() const { return m_position; }
  // The vertical bar, for tests and the owner's layout.
  QScrollBar* VerticalBar() const { return m_vbar; }
  bool VerticalBarShown() const;

  // Low byte: a horizontal request, high byte: a vertical one (kNoRequest =
  // none). True when the position changes (or would, without doScroll).
  bool ScrollByCode(int code, bool doScroll);
  // Moves by (dx, dy) within 0..limit; a component whose bar is absent
  // counts as 0. True when the position changes (or would, without doScroll).
  bool ScrollByOffset(int dx, int dy, bool doScroll);
  // The wheel rule: lines per notch from QApplication::wheelScrollLines()
  // (-1: a page per notch), nothing with Shift or Ctrl, a downward step at
  // most one page. True when it scrolled.
  bool OnMouseWheel(Qt::KeyboardModifiers modifiers, int delta);
  // The vertical offset of one wheel event: steps = MulDiv(-delta, lines,
  // 120); a page (up when delta > 0) when linesPerNotch is -1 (a page per
  // notch) or steps is -1, else steps lines, downward at most a page. Qt
  // gives no -1 (it reads a setting below 1 as its default), but a desktop
  // setting that means "a page" would.
  static int WheelOffset(int delta, int linesPerNotch, int pageHeight, int lineHeight);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void UpdateBars();
  void ScrollToPosition(QPoint target);
  void PlaceViewport();
  int BarExtent() const;
  int VerticalLimit() const;
  void OnBarAction(int action);

  QWidget* m_viewport = nullptr;
  QScrollBar* m_vbar = nullptr;
  QSize m_total{0, 0};
  QSize m_page{0, 0};
  QSize m_line{0, 0};
  QPoint m_position{0, 0};
  bool m_updating = false;
};

}  // namespace manager
