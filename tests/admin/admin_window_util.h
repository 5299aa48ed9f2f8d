// A temporary program tree for the window tests: the program directory
// replaced, no sibling program running (the process list is replaced: what
// runs on the machine must not change a test), the engine and the dialog
// module back to their start-up state afterwards, and helpers that install
// sibling programs into it.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

#include "admin/Launch.h"
#include "admin/ProcessCheck.h"
#include "admin/Siblings.h"
#include "admin_test_util.h"
#include "support/dialog_script.h"
#include "tablebase_ui/tzdialog.h"
#include "tablebase/tzstate.h"

namespace testutil {

class ProgramTree : public ::testing::Test {
 protected:
  void SetUp() override {
    ruvtest::App();
    ResetEngineState();
    std::filesystem::create_directories(prog());
    SetProgramDir(prog());
    SetProcessLister([] { return std::vector<TProcessNames>{}; });
  }
  void TearDown() override {
    SetProgramDir("");
    SetLauncher(nullptr);
    SetProcessLister(nullptr);
    ResetDialogOptions();
    ResetEngineState();
  }
  // The program directory, "<tmp>/ruv/".
  std::string prog() const { return tree.dir() + "ruv/"; }
  std::string adminIni() const { return prog() + "ruv_admin.ini"; }
  std::string ruvIni() const { return prog() + "ruv.ini"; }

  // An executable script under `name` in `dir` that records where it ran.
  static void PutScript(const std::string& dir, const std::string& name) {
    WriteFile(dir + name,
              "#!/bin/sh\n"
              "pwd > launched.tmp\n"
              "mv launched.tmp launched.txt\n",
              0755);
  }
  // A sibling installed in `dir`: its executable (a script) and its
  // installation table, in the given letter cases.
  static void Install(const std::string& dir, const std::string& exe, const std::string& table) {
    PutScript(dir, exe);
    WriteFile(dir + table, "table");
  }

  TempDir tree;
};

inline void SendCtrlT(QWidget* target) {
  QKeyEvent press(QEvent::KeyPress, Qt::Key_T, Qt::ControlModifier, QString(QChar(0x14)));
  QApplication::sendEvent(target, &press);
}

inline void SendDoubleClick(QWidget* target) {
  const QPointF at(5, 5);
  QMouseEvent dbl(QEvent::MouseButtonDblClick, at, target->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                  Qt::NoModifier);
  QApplication::sendEvent(target, &dbl);
}

// The message dialog as a scripted window answered by its button `n`.
inline ruvtest::Dialog Message(const std::string& caption, const std::string& icon, const std::string& text,
                               std::vector<std::string> buttons, int n = 1) {
  return ruvtest::Dialog().Caption(caption).Icon(icon).Text(text).Buttons(std::move(buttons)).Click(
      "button" + std::to_string(n));
}

inline ruvtest::Dialog GuardMessage() {
  return Message("Problem", "!", "Przed uruchomieniem tej funkcji zakończ działanie programów dla ruv.",
                 {"Zakończ"});
}

}  // namespace testutil
