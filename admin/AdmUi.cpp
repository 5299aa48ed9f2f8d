#include "admin/AdmUi.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStringList>

namespace {

void MessageBoxWithOk(QMessageBox::Icon icon, const std::string& text) {
  QMessageBox box(icon, QApplication::applicationName(), QStr(text), QMessageBox::NoButton,
                  QApplication::activeWindow());
  box.addButton(QMessageBox::Ok)->setObjectName("OK");
  box.exec();
}

}  // namespace

void ShowPlainMessage(const std::string& text) { MessageBoxWithOk(QMessageBox::NoIcon, text); }

void ShowErrorBox(const std::string& text) { MessageBoxWithOk(QMessageBox::Critical, text); }

namespace {

// Tahoma is not free. Liberation Sans has Arial's widths, close enough to
// Tahoma's that the captions fit the sizes the windows were designed with;
// DejaVu Sans is wider and clips the longer ones.
const QStringList kTahomaFallbacks{"Liberation Sans", "DejaVu Sans"};

}  // namespace

void RegisterFontSubstitutes() { QFont::insertSubstitutions("Tahoma", kTahomaFallbacks); }

QFont TahomaFont(int pixelSize) {
  QFont f;
  f.setFamilies(QStringList{"Tahoma"} + kTahomaFallbacks);
  f.setStyleHint(QFont::SansSerif);
  f.setPixelSize(pixelSize);
  return f;
}

namespace {

constexpr int kHintMs = 100000;

// Gives a widget the program's hint time just before it shows its hint.
class HintTime : public QObject {
 public:
  explicit HintTime(QObject* parent) : QObject(parent) { setObjectName("HintTime"); }

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::ToolTip)
      if (auto* w = qobject_cast<QWidget*>(watched); w && w->toolTipDuration() <= 0) w->setToolTipDuration(kHintMs);
    return false;
  }
};

}  // namespace

void KeepHintsVisible() {
  if (!qApp || qApp->findChild<HintTime*>("HintTime", Qt::FindDirectChildrenOnly)) return;
  qApp->installEventFilter(new HintTime(qApp));
}

void CentreOnScreen(QWidget& window) {
  if (QScreen* s = window.screen())
    window.move(s->availableGeometry().center() -
                QPoint(window.frameGeometry().width() / 2, window.frameGeometry().height() / 2));
}

namespace {

// Centres its dialog whenever the program shows it (not when the window
// system shows it again, as after minimising), wherever its owner stands.
class CentreOnShow : public QObject {
 public:
  explicit CentreOnShow(QDialog& dialog) : QObject(&dialog) { dialog.installEventFilter(this); }

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::Show && !e->spontaneous()) CentreOnScreen(*static_cast<QWidget*>(watched));
    return false;
  }
};

}  // namespace

void SetUpDialog(QDialog& dialog, const char* name, const QString& caption, int width, int height) {
  dialog.setObjectName(name);
  dialog.setWindowTitle(caption);
  dialog.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                        Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  dialog.setFont(TahomaFont(13));
  dialog.setFixedSize(width, height);
  new CentreOnShow(dialog);
}

#include <QButtonGroup>
#include <algorithm>
#include <QRadioButton>

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, int columns, QWidget* parent)
    : QGroupBox(caption, parent), group_(new QButtonGroup(this)), columns_(columns) {
  for (int i = 0; i < items.size(); ++i) {
    auto* b = new QRadioButton(items[i], this);
    group_->addButton(b, i);
    items_.push_back(b);
  }
  connect(this, &QObject::objectNameChanged, this, [this](const QString& name) {
    for (size_t i = 0; i < items_.size(); ++i) items_[i]->setObjectName(name + "_" + QString::number(i));
  });
  LayOut();
}

int TRadioGroup::ItemIndex() const { return group_->checkedId(); }

void TRadioGroup::SetItemIndex(int index) {
  if (index >= 0 && index < int(items_.size())) {
    items_[size_t(index)]->setChecked(true);
    return;
  }
  // A button group keeps one button checked; leaving none needs it open.
  group_->setExclusive(false);
  for (auto* b : items_) b->setChecked(false);
  group_->setExclusive(true);
}

void TRadioGroup::resizeEvent(QResizeEvent* event) {
  QGroupBox::resizeEvent(event);
  LayOut();
}

// Items fill the columns top to bottom, in the space below the caption.
void TRadioGroup::LayOut() {
  const int n = int(items_.size());
  if (n == 0) return;
  const int rows = (n + columns_ - 1) / columns_;
  const int top = 18, left = 8;
  const int colWidth = (width() - 2 * left) / columns_;
  const int rowHeight = std::max(19, (height() - top - 4) / rows);
  for (int i = 0; i < n; ++i) {
    int col = i / rows, row = i % rows;
    items_[size_t(i)]->setGeometry(left + col * colWidth, top + row * rowHeight, colWidth - 4, 19);
  }
}
