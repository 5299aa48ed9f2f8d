// Renders the program's windows: the main window with some programs
// installed, both pages of the settings window, the directory search
// window.
#include <QApplication>
#include <QLineEdit>
#include <QTabWidget>
#include <QTemporaryDir>

#include "admin/Adm_EkRuv.h"
#include "admin/Adm_EkrRuv_par.h"
#include "admin/Siblings.h"
#include "admin/USzukZb.h"
#include "screens/admin_shot.h"
#include "screens/shot.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QString dir = screens::StartAsTheProgram(app, argc, argv);

  // A program tree with Tamir, Selmira and Morta installed.
  QTemporaryDir tree;
  const QString prog = tree.path() + "/ruv/";
  for (const char* f : {"Ruv_TM.exe", "Ruv_SL.exe", "ruv_inst.dbf", "Ruv_Fenvo.exe"}) screens::WriteFile(prog + f);
  for (const char* f : {"Morta.exe", "mrt_inst.dbf"}) screens::WriteFile(tree.path() + "/Morta/" + f);
  SetProgramDir(prog.toStdString());

  bool ok = true;
  TEkr_Ruv main;
  ok &= screens::Save(main, dir, "main_window");

  TEkruv_par settings(&main);
  for (QLineEdit* e : {settings.Edit1, settings.Edit2, settings.Edit3, settings.Edit4, settings.Edit7})
    e->setText(prog);
  settings.Edit6->setText(tree.path() + "/Morta/");
  settings.show();
  ok &= screens::Save(settings, dir, "settings_general");
  settings.PageControl1->setCurrentIndex(0);
  ok &= screens::Save(settings, dir, "settings_directories");
  settings.hide();

  TEkSzukaj search(&main);
  search.setWindowTitle(" Katalog programu \"RUV - Tamir\" ");
  search.show();
  search.Edit1->setText("/home/użytkownik/Programy/RUV/");
  ok &= screens::Save(search, dir, "directory_search");
  return ok ? 0 : 1;
}
