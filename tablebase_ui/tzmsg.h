// The wait window and the progress window: small yellow windows, always on
// top, that show what long work on the window thread is doing. They grow to
// fit a longer text and never shrink, so a flickering size does not chase
// the texts. Texts are GUI text (QString); the engine reaches these windows
// through QtEngineUi, which converts its Windows-1250 bytes.
#pragma once
#include <QPointer>
#include <QString>
#include <QWidget>

class QFrame;
class QLabel;

class TTzMsg : public QWidget {
  Q_OBJECT

 public:
  // Hidden and of size 0 until the first ShowMsg. The window that is active
  // now is the one it centres over (the screen when there is none). `owner`
  // only ties the lifetime; the window stays a top-level window.
  explicit TTzMsg(QWidget* owner = nullptr);
  ~TTzMsg() override;

  // Shows `text` (an empty text shows the text shown before), growing and
  // re-centring the window when the text needs more room, and returns once
  // the text is painted and pending events (no user input) are handled.
  void ShowMsg(const QString& text = QString());

  const QString& MessageText() const { return message_; }

  // Space added to the measured text on each side, in pixels.
  static constexpr int kTextMargin = 30;

 private:
  QFrame* outerPanel_;  // bevel shown while the window has no caption
  QLabel* textPanel_;
  QString message_;
  QPointer<QWidget> centreForm_;
  bool hasBorder_ = false;
};

class TTzProgress100 : public TTzMsg {
  Q_OBJECT

 public:
  // As CreateCaption with the caption "Progress".
  explicit TTzProgress100(QWidget* owner = nullptr);
  // Shows the window at once under `caption` with a full bar of 100 "|".
  TTzProgress100(QWidget* owner, const QString& caption);

  // Takes one "|" off the bar, or refills the bar when it is empty, and
  // shows it. An empty bar shows the last "|" (an empty text keeps the
  // previous one), so the window never goes blank.
  void Step();

  const QString& Bar() const { return bar_; }

  static constexpr int kBarLength = 100;

 private:
  QString bar_;
};
