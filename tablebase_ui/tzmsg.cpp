#include "tablebase_ui/tzmsg.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QScreen>

#include <algorithm>

namespace {

// The yellow of the engine's wait windows (Windows colour 0x00FFFF).
const QColor kWaitColour(0xFF, 0xFF, 0x00);

constexpr Qt::WindowFlags kBorderless = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
// A title bar but no close box or system menu: the window goes away only
// when its creator frees it.
constexpr Qt::WindowFlags kCaptioned =
    Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint;

QRect CentreRectOf(const QWidget* form) {
  if (form) return form->frameGeometry();
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->geometry() : QRect();
}

}  // namespace

TTzMsg::TTzMsg(QWidget* owner)
    : QWidget(owner, kBorderless),
      outerPanel_(new QFrame(this)),
      textPanel_(new QLabel(this)),
      centreForm_(QApplication::activeWindow()) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, kWaitColour);
  pal.setColor(QPalette::WindowText, Qt::black);
  setPalette(pal);
  setAutoFillBackground(true);

  outerPanel_->setObjectName("OuterPanel");
  outerPanel_->setFrameStyle(QFrame::Panel | QFrame::Raised);
  outerPanel_->setLineWidth(2);

  textPanel_->setObjectName("TextPanel");
  textPanel_->setFrameStyle(QFrame::Box | QFrame::Plain);
  textPanel_->setLineWidth(1);
  textPanel_->setAlignment(Qt::AlignCenter);
  textPanel_->setTextFormat(Qt::PlainText);
  resize(0, 0);
}

TTzMsg::~TTzMsg() = default;

void TTzMsg::ShowMsg(const QString& text) {
  if (!text.isEmpty()) message_ = text;
  const QFontMetrics fm(font());
  const int w = fm.horizontalAdvance(message_) + kTextMargin;
  const int h = fm.height() + kTextMargin;

  const bool wantBorder = !windowTitle().isEmpty();
  const bool borderChanged = wantBorder != hasBorder_;
  int captionWidth = 0;
  if (borderChanged) {
    setWindowFlags(wantBorder ? kCaptioned : kBorderless);
    hasBorder_ = wantBorder;
  }
  if (wantBorder) {
    QFont captionFont = font();
    captionFont.setFamily("System");
    captionWidth = QFontMetrics(captionFont).horizontalAdvance(windowTitle());
  }
  outerPanel_->setVisible(!wantBorder);

  // Each side grows on its own: a longer but lower text must not take
  // height back from an earlier taller one. The title bar is the window
  // manager's, outside these client sizes.
  const int newWidth = std::max(width(), std::max(w, captionWidth));
  const int newHeight = std::max(height(), h);
  if (newWidth != width() || newHeight != height() || borderChanged) {
    resize(newWidth, newHeight);
    const QRect over = CentreRectOf(centreForm_);
    move(over.left() + (over.width() - newWidth) / 2, over.top() + (over.height() - newHeight) / 2);
    outerPanel_->setGeometry(rect());
    const int inset = wantBorder ? 0 : outerPanel_->frameWidth();
    textPanel_->setGeometry(rect().adjusted(inset, inset, -inset, -inset));
    show();
  }
  textPanel_->setText(message_);
  textPanel_->repaint();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

TTzProgress100::TTzProgress100(QWidget* owner) : TTzProgress100(owner, "Progress") {}

TTzProgress100::TTzProgress100(QWidget* owner, const QString& caption) : TTzMsg(owner) {
  setWindowTitle(caption);
  bar_ = QString(kBarLength, '|');
  ShowMsg(bar_);
}

void TTzProgress100::Step() {
  if (bar_.isEmpty())
    bar_ = QString(kBarLength, '|');
  else
    bar_.remove(0, 1);
  ShowMsg(bar_);
}
