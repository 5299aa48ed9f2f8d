// Start-up shared by the renderers of the program's own windows: the engine,
// its Qt windows, the Polish translation and the fonts as the program sets
// them up. Returns the folder the pictures go to.
#pragma once
#include <QApplication>
#include <QString>

#include "admin/AdmUi.h"
#include "screens/shot.h"
#include "tablebase_ui/engineui_qt.h"
#include "tablebase/tzstate.h"

namespace screens {

inline QString StartAsTheProgram(QApplication& app, int argc, char** argv) {
  EngineStartup();
  InstallQtEngineUi();
  LoadPolishQtTranslation(app);
  RegisterFontSubstitutes();
  return OutputDir(argc, argv);
}

}  // namespace screens
