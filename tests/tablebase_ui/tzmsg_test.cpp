#include <gtest/gtest.h>

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QScreen>

#include "support/dialog_script.h"
#include "tablebase_ui/tzmsg.h"

namespace {

class WaitWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ruvtest::App(); }
};

QLabel* TextPanel(const QWidget& w) { return w.findChild<QLabel*>("TextPanel"); }
QFrame* OuterPanel(const QWidget& w) { return w.findChild<QFrame*>("OuterPanel"); }

TEST_F(WaitWindowTest, FirstTextSizesAndShowsTheWindowCentredOnTheScreen) {
  TTzMsg wait;
  EXPECT_FALSE(wait.isVisible());
  wait.ShowMsg("Trwa indeksowanie, proszę czekać…");
  const QFontMetrics fm(wait.font());
  EXPECT_TRUE(wait.isVisible());
  EXPECT_EQ(wait.width(), fm.horizontalAdvance("Trwa indeksowanie, proszę czekać…") + 30);
  EXPECT_EQ(wait.height(), fm.height() + 30);
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_EQ(wait.x(), (screen.width() - wait.width()) / 2);
  EXPECT_EQ(wait.y(), (screen.height() - wait.height()) / 2);
  EXPECT_EQ(TextPanel(wait)->text(), "Trwa indeksowanie, proszę czekać…");
  const Qt::WindowFlags f = wait.windowFlags();
  EXPECT_TRUE(f & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(f & Qt::FramelessWindowHint);
  EXPECT_EQ(wait.palette().color(QPalette::Window), QColor(255, 255, 0));
}

TEST_F(WaitWindowTest, ShorterTextKeepsTheSizeAndEmptyTextShowsTheTextBefore) {
  TTzMsg wait;
  wait.ShowMsg("Długi tekst komunikatu o pracy w toku");
  const QRect before = wait.geometry();
  wait.ShowMsg("Krótki");
  EXPECT_EQ(wait.geometry(), before);
  EXPECT_EQ(TextPanel(wait)->text(), "Krótki");
  wait.ShowMsg("");
  EXPECT_EQ(TextPanel(wait)->text(), "Krótki");
  EXPECT_EQ(wait.MessageText(), "Krótki");
  wait.ShowMsg("Jeszcze dłuższy tekst komunikatu o pracy w toku");
  EXPECT_GT(wait.width(), before.width());
  EXPECT_EQ(wait.height(), before.height());
}

TEST_F(WaitWindowTest, EachSideGrowsOnItsOwn) {
  TTzMsg wait;
  QFont big = wait.font();
  big.setPixelSize(40);
  wait.setFont(big);
  wait.ShowMsg("Wysoki");
  const int tallHeight = wait.height();
  QFont small = wait.font();
  small.setPixelSize(10);
  wait.setFont(small);
  // Wider but lower: the width grows, the height stays.
  wait.ShowMsg("Szeroki, ale niski tekst, znacznie dłuższy niż poprzedni, w małej czcionce");
  EXPECT_EQ(wait.height(), tallHeight);
  EXPECT_EQ(wait.width(), QFontMetrics(small).horizontalAdvance(wait.MessageText()) + 30);
}

TEST_F(WaitWindowTest, CentresOverTheWindowActiveWhenItWasMade) {
  QWidget main;
  main.setGeometry(30, 40, 600, 300);
  main.show();
  QApplication::setActiveWindow(&main);
  TTzMsg wait;
  wait.ShowMsg("Czekaj");
  const QRect over = main.frameGeometry();
  EXPECT_EQ(wait.x(), over.left() + (over.width() - wait.width()) / 2);
  EXPECT_EQ(wait.y(), over.top() + (over.height() - wait.height()) / 2);
}

TEST_F(WaitWindowTest, CaptionSwitchesFromTheBevelToATitleBar) {
  TTzMsg wait;
  wait.ShowMsg("Czekaj");
  EXPECT_TRUE(OuterPanel(wait)->isVisible());
  EXPECT_EQ(OuterPanel(wait)->geometry(), wait.rect());
  // The bevel shows around the text panel.
  EXPECT_EQ(TextPanel(wait)->geometry(), wait.rect().adjusted(2, 2, -2, -2));

  wait.setWindowTitle("Bardzo długi tytuł okna oczekiwania");
  wait.ShowMsg("");
  const Qt::WindowFlags f = wait.windowFlags();
  EXPECT_FALSE(f & Qt::FramelessWindowHint);
  EXPECT_TRUE(f & Qt::WindowTitleHint);
  EXPECT_FALSE(f & Qt::WindowCloseButtonHint);
  EXPECT_TRUE(f & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(wait.isVisible());
  EXPECT_FALSE(OuterPanel(wait)->isVisible());
  EXPECT_EQ(TextPanel(wait)->geometry(), wait.rect());
  QFont captionFont = wait.font();
  captionFont.setFamily("System");
  EXPECT_GE(wait.width(), QFontMetrics(captionFont).horizontalAdvance(wait.windowTitle()));
  EXPECT_EQ(TextPanel(wait)->text(), "Czekaj");
}

TEST_F(WaitWindowTest, ProgressBarLosesOneStepAtATimeAndRefills) {
  TTzProgress100 progress(nullptr, "Indexing PRACOWN.MDX...");
  EXPECT_TRUE(progress.isVisible());
  EXPECT_EQ(progress.windowTitle(), "Indexing PRACOWN.MDX...");
  EXPECT_EQ(TextPanel(progress)->text(), QString(100, '|'));
  const QSize full = progress.size();
  struct Case {
    int steps;  // in all, from the start
    int bar;
    int shown;
  } cases[] = {{1, 99, 99}, {40, 60, 60}, {99, 1, 1}, {100, 0, 1}, {101, 100, 100}, {102, 99, 99}};
  int done = 0;
  for (const auto& c : cases) {
    for (; done < c.steps; ++done) progress.Step();
    SCOPED_TRACE(c.steps);
    EXPECT_EQ(progress.Bar().size(), c.bar);
    EXPECT_EQ(TextPanel(progress)->text(), QString(c.shown, '|'));
    EXPECT_EQ(progress.size(), full);
  }
  TTzProgress100 plain;
  EXPECT_EQ(plain.windowTitle(), "Progress");
}

}  // namespace
