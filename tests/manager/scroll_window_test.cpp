// The scrolling list, offscreen: metrics, the bar, scroll codes and the wheel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QWheelEvent>

#include "manager/ScrollWindow.h"

namespace {

using manager::CScrollWindow;

constexpr int kClientHeight = 210;

class ScrollWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QApplication::setWheelScrollLines(3);
    extent_ = host_.style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    // Wide enough for 400 of content beside the bar, three rows high.
    host_.resize(420 + extent_, kClientHeight);
    host_.show();
    child_ = new QWidget(host_.Viewport());
    child_->setGeometry(5, 150, 395, 70);
    child_->show();
  }
  void TearDown() override { QApplication::setWheelScrollLines(3); }

  // One notch of the wheel over the list; positive delta turns it away.
  bool Wheel(int delta, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    const QPointF at(50, 50);
    QWheelEvent event(at, host_.mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(&host_, &event);
    return event.isAccepted();
  }
  int Position() const { return host_.GetScrollPosition().y(); }

  CScrollWindow host_;
  QWidget* child_ = nullptr;
  int extent_ = 0;
};

TEST_F(ScrollWindowTest, ZeroPageAndLineTakeTenthsOfTheTotal) {
  const struct {
    QSize total, page, line, wantPage, wantLine;
  } cases[] = {
      {{400, 280}, {400, 210}, {0, 0}, {400, 210}, {40, 21}},
      {{1000, 700}, {0, 0}, {0, 0}, {100, 70}, {10, 7}},
      {{999, 99}, {0, 0}, {0, 0}, {99, 9}, {9, 0}},
      {{400, 280}, {0, 0}, {3, 4}, {40, 28}, {3, 4}},
  };
  for (const auto& c : cases) {
    host_.SetScrollMetrics(c.total, c.page, c.line);
    EXPECT_EQ(host_.PageSize(), c.wantPage) << c.total.width() << "x" << c.total.height();
    EXPECT_EQ(host_.LineSize(), c.wantLine) << c.total.width() << "x" << c.total.height();
  }
}

TEST_F(ScrollWindowTest, OneWheelNotchMovesThreeLinesAndTheRowsWithIt) {
  host_.SetScrollMetrics({400, 280}, {400, 210});
  ASSERT_TRUE(host_.VerticalBarShown());
  EXPECT_EQ(host_.Viewport()->width(), 420);

  EXPECT_TRUE(Wheel(-120));
  EXPECT_EQ(Position(), 63);
  EXPECT_EQ(child_->y(), 150 - 63);
  EXPECT_EQ(host_.VerticalBar()->value(), 63);
  // At most 70 (280 - 210) down.
  EXPECT_TRUE(Wheel(-120));
  EXPECT_EQ(Position(), 70);
  EXPECT_FALSE(Wheel(-120));
  EXPECT_TRUE(Wheel(120));
  EXPECT_EQ(Position(), 7);
  EXPECT_TRUE(Wheel(120));
  EXPECT_EQ(Position(), 0);
  EXPECT_EQ(child_->y(), 150);
}

TEST_F(ScrollWindowTest, ShiftOrCtrlWheelDoesNothing) {
  host_.SetScrollMetrics({400, 280}, {400, 210});
  EXPECT_FALSE(Wheel(-120, Qt::ShiftModifier));
  EXPECT_FALSE(Wheel(-120, Qt::ControlModifier));
  EXPECT_EQ(Position(), 0);
}

// The wheel step for a setting of n lines per notch (-1: a page per notch),
// with a page of 210 and a line of 21.
TEST(WheelOffsetTest, StepsFollowTheSetting) {
  const struct {
    int delta, lines, want;
  } cases[] = {
      {-120, 3, 63},    {120, 3, -63},    // three lines
      {-120, -1, 210},  {120, -1, -210},  // a page per notch
      {-240, -1, 210},                    // still one page
      {-120, 20, 210},  {120, 20, -420},  // the downward step is capped at a page
      {120, 1, -210},                     // one step up counts as a page
      {-120, 1, 21},    {-40, 3, 21},     // a third of a notch: one line
      {-10, 3, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CScrollWindow::WheelOffset(c.delta, c.lines, 210, 21), c.want) << c.delta << " with " << c.lines;
  }
}

TEST_F(ScrollWindowTest, DownwardWheelStepIsCappedAtAPage) {
  QApplication::setWheelScrollLines(20);
  host_.SetScrollMetrics({400, 2000}, {400, 210}, {0, 21});
  EXPECT_TRUE(Wheel(-120));
  EXPECT_EQ(Position(), 210);  // not 20 lines of 21
  EXPECT_TRUE(Wheel(120));
  EXPECT_EQ(Position(), 0);  // upward the full 420 would go, clamped at the top
}

TEST_F(ScrollWindowTest, NoBarWhenTheContentFits) {
  host_.SetScrollMetrics({400, 1000}, {400, 210});
  ASSERT_TRUE(host_.ScrollByCode(manager::kNoRequest | (manager::SB_BOTTOM << 8), true));
  host_.SetScrollMetrics({400, kClientHeight}, {400, 210});
  EXPECT_FALSE(host_.VerticalBarShown());
  EXPECT_EQ(Position(), 0);
  EXPECT_EQ(child_->y(), 150);
  EXPECT_EQ(host_.Viewport()->width(), host_.width());
  EXPECT_FALSE(Wheel(-120));
  EXPECT_FALSE(host_.ScrollByOffset(0, 50, true));
}

TEST_F(ScrollWindowTest, ScrollCodesMoveWithinTheRange) {
  host_.SetScrollMetrics({400, 1000}, {400, 210});  // line 21, last position 790
  const int v = manager::kNoRequest;
  const struct {
    const char* name;
    int code;
    int from, want;
  } cases[] = {
      {"line down", manager::SB_LINEDOWN, 100, 121},
      {"line up", manager::SB_LINEUP, 100, 79},
      {"line up at top", manager::SB_LINEUP, 0, 0},
      {"page down", manager::SB_PAGEDOWN, 100, 310},
      {"page up", manager::SB_PAGEUP, 100, 0},
      {"bottom", manager::SB_BOTTOM, 100, 1000 - kClientHeight},
      {"top", manager::SB_TOP, 500, 0},
      {"end scroll", manager::SB_ENDSCROLL, 100, 100},
      {"thumb position", manager::SB_THUMBPOSITION, 100, 100},
  };
  for (const auto& c : cases) {
    host_.ScrollByCode(v | (manager::SB_TOP << 8), true);
    host_.ScrollByOffset(0, c.from, true);
    ASSERT_EQ(Position(), c.from) << c.name;
    EXPECT_EQ(host_.ScrollByCode(v | (c.code << 8), true), c.want != c.from) << c.name;
    EXPECT_EQ(Position(), c.want) << c.name;
    EXPECT_EQ(child_->y(), 150 - c.want) << c.name;
  }
  // Without do-scroll the answer comes, the position stays.
  EXPECT_TRUE(host_.ScrollByCode(v | (manager::SB_TOP << 8), false));
  EXPECT_EQ(Position(), 100);
}

// Clicks on the bar take the list's own steps: a line of 21, a page of 210.
TEST_F(ScrollWindowTest, BarActionsTakeTheListsSteps) {
  host_.SetScrollMetrics({400, 1000}, {400, 210});
  QScrollBar* bar = host_.VerticalBar();
  bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  EXPECT_EQ(Position(), 21);
  bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
  EXPECT_EQ(Position(), 231);
  EXPECT_EQ(bar->value(), 231);
  bar->triggerAction(QAbstractSlider::SliderToMaximum);
  EXPECT_EQ(Position(), 790);
  bar->setSliderDown(true);
  bar->setSliderPosition(400);  // dragging the thumb
  bar->setSliderDown(false);
  EXPECT_EQ(Position(), 400);
  EXPECT_EQ(child_->y(), 150 - 400);
}

TEST_F(ScrollWindowTest, WideContentNeverShowsAHorizontalBar) {
  host_.SetScrollMetrics({3000, 1000});
  const QList<QScrollBar*> bars = host_.findChildren<QScrollBar*>();
  ASSERT_EQ(bars.size(), 1);
  EXPECT_EQ(bars.front()->orientation(), Qt::Vertical);
  EXPECT_FALSE(host_.ScrollByOffset(100, 0, true));
  EXPECT_TRUE(host_.ScrollByCode(manager::SB_BOTTOM | (manager::kNoRequest << 8), true) == false);
  EXPECT_EQ(host_.GetScrollPosition().x(), 0);
  EXPECT_EQ(child_->x(), 5);
  // The room a horizontal bar would take is left at the bottom.
  EXPECT_EQ(host_.VerticalBar()->maximum(), 1000 - (kClientHeight - extent_));
}

}  // namespace
