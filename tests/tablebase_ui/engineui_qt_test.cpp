#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "support/dialog_script.h"
#include "tablebase_ui/engineui_qt.h"
#include "tablebase_ui/tzmsg.h"
#include "tablebase/tzutils.h"

namespace {

using ruvtest::Dialog;
using ruvtest::DialogScript;

class QtEngineUiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ruvtest::App();
    InstallQtEngineUi();
  }
  void TearDown() override { Ui().SetBusyCursor(false); }
};

template <class W>
W* OnlyVisible() {
  W* found = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* t = qobject_cast<W*>(w); t && t->isVisible()) {
      EXPECT_EQ(found, nullptr) << "more than one window";
      found = t;
    }
  return found;
}

TEST_F(QtEngineUiTest, HaltingBoxIsARealMessageBoxWithTheEngineTextInUtf8) {
  const std::string text = "Error # 215 (No database in use)\r\nNo database in use [\xA3\xB9ka]";  // "Łąka"
  int result = 0;
  DialogScript script;
  script.Expect(Dialog()
                    .Caption("Program halted.")
                    .Icon("H")
                    .Text("Error # 215 (No database in use)\nNo database in use [Łąka]")
                    .Buttons({"OK"})
                    .Click("OK"));
  EXPECT_TRUE(script.Run([&] { result = EngineMessageBox(text, "Program halted.", MB_ICONHAND); }));
  EXPECT_EQ(result, 1);
}

TEST_F(QtEngineUiTest, MessageBoxIconFollowsTheFlags) {
  struct Case {
    uint16_t flags;
    const char* icon;
  } cases[] = {{MB_OK, ""}, {MB_ICONHAND, "H"}, {MB_ICONQUESTION, "?"},
               {MB_ICONEXCLAMATION, "!"}, {MB_ICONASTERISK, "I"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    DialogScript script;
    script.Expect(Dialog().Icon(c.icon).Click("OK"));
    EXPECT_TRUE(script.Run([&] { Ui().MessageBox("x", "y", c.flags); }));
  }
}

TEST_F(QtEngineUiTest, HourglassIsOneOverrideCursorSetAndClearedOnce) {
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  Ui().SetBusyCursor(true);
  Ui().SetBusyCursor(true);
  ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
  EXPECT_TRUE(Ui().BusyCursor());
  Ui().SetBusyCursor(false);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  Ui().SetBusyCursor(false);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_FALSE(Ui().BusyCursor());
}

TEST_F(QtEngineUiTest, ProcessMessagesRunsPostedWork) {
  bool ran = false;
  QTimer::singleShot(0, [&] { ran = true; });
  Ui().ProcessMessages();
  EXPECT_TRUE(ran);
}

TEST_F(QtEngineUiTest, EngineWindowsAreTheQtWaitAndProgressWindows) {
  {
    auto progress = Ui().CreateProgressWindow("Indexing \xA3\xA5KA.MDX...");  // "ŁĄKA"
    auto* window = OnlyVisible<TTzProgress100>();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "Indexing ŁĄKA.MDX...");
    for (int i = 0; i < 30; ++i) progress->Step();
    EXPECT_EQ(window->Bar().size(), 70);
  }
  EXPECT_EQ(OnlyVisible<TTzProgress100>(), nullptr);
  {
    auto wait = Ui().CreateWaitWindow();
    wait->ShowMsg("Czekaj na koniec pracy \xB9");  // "ą"
    auto* window = OnlyVisible<TTzMsg>();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->findChild<QLabel*>("TextPanel")->text(), "Czekaj na koniec pracy ą");
    wait->ShowMsg("");
    EXPECT_EQ(window->MessageText(), "Czekaj na koniec pracy ą");
  }
  EXPECT_EQ(OnlyVisible<TTzMsg>(), nullptr);
}

TEST_F(QtEngineUiTest, QtSpeaksPolish) {
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Anuluj");
  QMessageBox box;
  EXPECT_EQ(box.addButton(QMessageBox::Cancel)->text(), "Anuluj");
}

}  // namespace
