#include "tablebase_ui/engineui_qt.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTranslator>

#include "platform/codepage.h"
#include "tablebase_ui/tzmsg.h"

namespace {

QString FromEngine(const std::string& text) {
  return QString::fromStdString(plat::Win1250ToUtf8(text)).replace("\r\n", "\n");
}

QMessageBox::Icon IconOf(uint16_t flags) {
  switch (flags & MB_ICONMASK) {
    case MB_ICONHAND: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONEXCLAMATION: return QMessageBox::Warning;
    case MB_ICONASTERISK: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

class QtWaitWindow : public EngineWaitWindow {
 public:
  void ShowMsg(const std::string& text) override { window_.ShowMsg(FromEngine(text)); }

 private:
  TTzMsg window_;
};

class QtProgressWindow : public EngineProgressWindow {
 public:
  explicit QtProgressWindow(const std::string& caption) : window_(nullptr, FromEngine(caption)) {}
  void Step() override { window_.Step(); }

 private:
  TTzProgress100 window_;
};

}  // namespace

int QtEngineUi::MessageBox(const std::string& text, const std::string& caption, uint16_t flags) {
  if (!qApp) return EngineUi::MessageBox(text, caption, flags);
  QMessageBox box(IconOf(flags), FromEngine(caption), FromEngine(text), QMessageBox::NoButton,
                  QApplication::activeWindow());
  box.addButton(QMessageBox::Ok)->setObjectName("OK");
  ScreenCursorScope arrow(false);
  box.exec();
  return 1;
}

void QtEngineUi::Beep() {
  if (qApp) QApplication::beep();
}

void QtEngineUi::SetBusyCursor(bool busy) {
  if (busy == busy_ || !qApp) return;
  busy_ = busy;
  if (busy)
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QGuiApplication::restoreOverrideCursor();
}

bool QtEngineUi::BusyCursor() const { return busy_; }

void QtEngineUi::ProcessMessages() {
  if (qApp) QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

std::unique_ptr<EngineWaitWindow> QtEngineUi::CreateWaitWindow() {
  if (!qApp) return EngineUi::CreateWaitWindow();
  return std::make_unique<QtWaitWindow>();
}

std::unique_ptr<EngineProgressWindow> QtEngineUi::CreateProgressWindow(const std::string& caption) {
  if (!qApp) return EngineUi::CreateProgressWindow(caption);
  return std::make_unique<QtProgressWindow>(caption);
}

void InstallQtEngineUi() {
  static QtEngineUi ui;
  SetUi(&ui);
}

bool LoadPolishQtTranslation(QApplication& app) {
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load("qt_pl", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) return false;
  translator->setParent(&app);
  return QCoreApplication::installTranslator(translator.release());
}
