// The program start: the run-time settings of the engine and the windows,
// the main window, and the message loop until it closes.
#include <QApplication>
#include <QMessageBox>

#include <memory>
#include <new>
#include <system_error>

#include "admin/AdmUi.h"
#include "admin/Adm_EkRuv.h"
#include "tables/tablesinit.h"
#include "tablebase/dbf4.h"
#include "tablebase_ui/engineui_qt.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzstate.h"

namespace {

// The window library's plain message box, captioned with the program's
// title.
void PlainMessage(const char* text) {
  QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), QString::fromUtf8(text), QMessageBox::Ok);
  box.exec();
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // The engine's units, then the tables layer's hooks (expressions).
  TablesStartup();
  InstallQtEngineUi();
  LoadPolishQtTranslation(app);
  RegisterFontSubstitutes();
  // Dates are written day.month.year with "." for the whole run; the main
  // window sets the full picture when it is created.
  Engine().format.DateSeparator = '.';
  // The sibling programs share the tables: no flush after every record
  // written, and up to 150 lock attempts 100 ms apart before giving up.
  ClearFlushAfterWrite();
  SetLockRetries(150, 100);
  KeepHintsVisible();
  QApplication::setApplicationName("Programy dla ruv");

  std::unique_ptr<TEkr_Ruv> mainWindow;
  try {
    // Settles first what a run that was killed, or whose machine stopped,
    // left half done.
    mainWindow = CreateProgramWindows();
  } catch (const std::bad_alloc&) {
    PlainMessage("Za mało pamięci operacyjnej dla uruchomienia programu.");
    return 1;
  } catch (const std::system_error&) {
    PlainMessage("Za mało zasobów systemowych dla uruchomienia programu.");
    return 1;
  }
  mainWindow->show();
  const int rc = app.exec();
  mainWindow.reset();
  EngineShutdown();
  return rc;
}
