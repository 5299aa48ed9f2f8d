// Renders the engine's windows: the message dialog with typical questions
// of the program, the wait window and the progress window.
#include <QApplication>
#include <QFont>

#include <string>

#include "screens/shot.h"
#include "tablebase_ui/engineui_qt.h"
#include "tablebase_ui/tzdialog.h"
#include "tablebase_ui/tzmsg.h"

namespace {

bool Dialog(const QString& dir, const QString& name, const std::string& caption, const std::string& icon,
            const std::string& message, std::string buttons) {
  std::unique_ptr<TDialogForm> form = BuildMessageDialog(caption, icon, message, buttons);
  return screens::Save(*form, dir, name);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  InstallQtEngineUi();
  LoadPolishQtTranslation(app);
  const QString dir = screens::OutputDir(argc, argv);

  bool ok = Dialog(dir, "dialog_system_font", "Potwierdzenie", "?",
                   "Potwierdź zamiar odtwarzania plików z kopii.", "Nie Tak");
  // The program's own look: Tahoma 10 with no style.
  DialogOptions options;
  GetDialogOptions(options);
  options.Font = QFont("Tahoma", 10);
  SetDialogOptions(options);
  ok &= Dialog(dir, "dialog_restore_question", "Potwierdzenie", "?",
               "Potwierdź zamiar odtwarzania plików z kopii.", "Nie Tak");
  ok &= Dialog(dir, "dialog_backup_proposal", "Informacja", "i",
               "Propozycja wykonania kopii plików danych.;;Czy chcesz wykonać kopię plików danych ?",
               "Tak Nie Wyłącz_proponowanie_kopii");
  ok &= Dialog(dir, "dialog_programs_running", "Problem", "!",
               "Przed uruchomieniem tej funkcji zakończ działanie programów dla ruv.", "Zakończ");
  ok &= Dialog(dir, "dialog_update_error", "Błąd", "h",
               "Błąd połączenia - brak katalogu (/aktualizacje).\r\nŻółć gęślą jaźń ZAŻÓŁĆ GĘŚLĄ JAŹŃ", "");
  ok &= Dialog(dir, "dialog_captionless", "", "x", "Kopia pomyślnie odtworzona.;Liczba odtworzonych plików: 12",
               "Dalej");

  {
    TTzMsg wait;
    wait.ShowMsg("Trwa przygotowanie plików do wysłania, proszę czekać…");
    ok &= screens::Save(wait, dir, "wait_window");
    wait.ShowMsg("Żółw");
    ok &= screens::Save(wait, dir, "wait_window_shorter_text");
  }
  {
    TTzProgress100 progress(nullptr, "Indexing C:\\RUV\\PRACOWN.MDX...");
    for (int i = 0; i < 40; ++i) progress.Step();
    ok &= screens::Save(progress, dir, "progress_window_40_steps");
    for (int i = 40; i < 101; ++i) progress.Step();
    ok &= screens::Save(progress, dir, "progress_window_refilled");
  }
  return ok ? 0 : 1;
}
