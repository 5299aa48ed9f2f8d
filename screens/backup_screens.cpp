// Renders the backup windows: the backup window before a run and after one
// (with its log), and the backup list window.
#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include "admin/Adm_EkRuv.h"
#include "admin/Adm_Ekr_kopia.h"
#include "admin/Adm_Ekr_lista_kopii.h"
#include "admin/Siblings.h"
#include "screens/admin_shot.h"
#include "screens/shot.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QString dir = screens::StartAsTheProgram(app, argc, argv);

  // A program tree with Tamir and Morta installed and some data.
  QTemporaryDir tree;
  const QString prog = tree.path() + "/ruv/";
  for (const char* f : {"Ruv_TM.exe", "ruv_inst.dbf", "TMR_Ruv.rav"}) screens::WriteFile(prog + f, "x");
  for (const char* f : {"pracownicy.dbf", "szkolenia.dbf", "pracownicy.dbt", "zdarzenia.log"})
    screens::WriteFile(prog + f, QByteArray(200000, 'd'));
  screens::WriteFile(prog + "Dokumenty/umowa.pdf", QByteArray(50000, 'p'));
  for (const char* f : {"Morta.exe", "mrt_inst.dbf", "kursy.dbf"}) screens::WriteFile(tree.path() + "/Morta/" + f, "x");
  for (const char* f : {"2024_01_15_Admin_kopia_danych_ruv.zip", "2024_02_15_Admin_kopia_danych_ruv.zip",
                        "2024_03_15_Admin_kopia_danych_ruv.zip"})
    screens::WriteFile(prog + "Kopia/" + f, "x");
  SetProgramDir(prog.toStdString());

  bool ok = true;
  TEkr_Ruv main;
  {
    TEk_Adm_kopia backup(main);
    ok &= screens::Save(backup, dir, "backup_window");
    // The run ends with its message; answered here so the log can be shown.
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [] {
      if (QWidget* modal = QApplication::activeModalWidget())
        if (auto* b = modal->findChild<QAbstractButton*>("button1")) b->click();
    });
    answer.start(50);
    backup.BitBtnKopia->click();
    answer.stop();
    ok &= screens::Save(backup, dir, "backup_window_after_run");
  }
  {
    main.Label1->setText("B");
    TAdm_Ek_lista_kopii list(main);
    list.show();
    list.CheckListBox1->item(0)->setCheckState(Qt::Checked);
    ok &= screens::Save(list, dir, "backup_list");
  }
  return ok ? 0 : 1;
}
