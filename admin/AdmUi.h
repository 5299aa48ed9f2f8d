// Small pieces every window of the program shares: its font, text
// conversion between the program's UTF-8 and Qt, placing a component.
#pragma once
#include <QFont>
#include <QGroupBox>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <string>
#include <vector>

class QButtonGroup;
class QDialog;
class QRadioButton;

// "Tahoma" at a pixel height, falling back to a sans font of close widths
// where Tahoma is not installed.
QFont TahomaFont(int pixelSize);
// Makes every font asked for by the name "Tahoma" (the engine's message
// dialog among them) use the same close fallback. Called once at start.
void RegisterFontSubstitutes();

// Makes every hint of the program stay visible for 100 seconds before it
// hides (a widget's own hint time, where one is set, still holds). Called
// once at start; calling it again changes nothing.
void KeepHintsVisible();

// A dialog of the program's look: fixed `width` x `height`, title bar with
// a close button, Tahoma 13, opening at the centre of the screen; `name` as
// designed.
void SetUpDialog(QDialog& dialog, const char* name, const QString& caption, int width, int height);

// Moves a window so that it stands at the centre of its screen.
void CentreOnScreen(QWidget& window);

inline QString QStr(const std::string& s) { return QString::fromStdString(s); }
inline std::string StdStr(const QString& s) { return s.toStdString(); }

// The window library's plain message box (no icon, one "OK" button),
// captioned with the application's title.
void ShowPlainMessage(const std::string& text);
// The application's standard error report for a failure that ends a
// command: an error box with the application's title and one "OK" button.
void ShowErrorBox(const std::string& text);

// A child component with its name, at a fixed place and size (the windows
// are laid out in pixels, as designed).
template <class W, class... Args>
W* Place(QWidget* parent, const char* name, int left, int top, int width, int height, Args&&... args) {
  W* w = new W(std::forward<Args>(args)..., parent);
  w->setObjectName(name);
  w->setGeometry(left, top, width, height);
  return w;
}

// A framed group of radio buttons in columns, one of which (or none) is
// selected. The items are named "<group name>_<index>".
class TRadioGroup : public QGroupBox {
  Q_OBJECT

 public:
  TRadioGroup(const QString& caption, const QStringList& items, int columns, QWidget* parent);
  // -1 when no item is selected.
  int ItemIndex() const;
  void SetItemIndex(int index);
  QRadioButton* Item(int index) const { return items_.at(size_t(index)); }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void LayOut();
  std::vector<QRadioButton*> items_;
  QButtonGroup* group_;
  int columns_;
};
