// The harness itself: it must pass what goes to script and fail clearly,
// never hang, on everything else.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QPushButton>

#include <future>
#include <string>

#include "support/dialog_script.h"
#include "tablebase_ui/tzdialog.h"

namespace {

using ruvtest::Dialog;
using ruvtest::DialogScript;

class DialogScriptTest : public ::testing::Test {
 protected:
  void SetUp() override { ruvtest::App(); }

  // Runs the script with its failures caught instead of failing this test;
  // returns their messages.
  std::vector<std::string> RunCaught(DialogScript& script, const std::function<void()>& code, bool* passed = nullptr) {
    testing::TestPartResultArray results;
    bool ok;
    {
      testing::ScopedFakeTestPartResultReporter catcher(
          testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
      ok = script.Run(code);
    }
    if (passed) *passed = ok;
    std::vector<std::string> out;
    for (int i = 0; i < results.size(); ++i) out.push_back(results.GetTestPartResult(i).message());
    return out;
  }
};

TEST_F(DialogScriptTest, DialogsInSequenceAndNestedAreAnsweredInOrder) {
  // A window whose button opens a question while the window is still up.
  QDialog outer;
  outer.setWindowTitle("Ustawienia");
  auto* save = new QPushButton("Zapisz", &outer);
  save->setObjectName("BitBtn1");
  std::string inner;
  QObject::connect(save, &QPushButton::clicked, &outer, [&] {
    inner = ShowMessageDialog("Potwierdzenie", "?", "Zapisać?", "Nie Tak");
    outer.accept();
  });

  std::string first;
  int outerResult = -1;
  DialogScript script;
  script.Expect(Dialog().Caption("Informacja").Click("button1"))
      .Expect(Dialog().Caption("Ustawienia").Buttons({"Zapisz"}).Click("BitBtn1"))
      .Expect(Dialog().Caption("Potwierdzenie").Click("button2"))
      .Expect(Dialog().Caption("Informacja").Text("Drugi raz").Click("button1"));
  EXPECT_TRUE(script.Run([&] {
    first = ShowMessageDialog("Informacja", "i", "Pierwszy", "Dalej");
    outerResult = outer.exec();
    ShowMessageDialog("Informacja", "i", "Drugi raz", "Dalej");
  }));
  EXPECT_EQ(first, "D");
  EXPECT_EQ(inner, "T");
  EXPECT_EQ(outerResult, QDialog::Accepted);
  ASSERT_EQ(script.Seen().size(), 4u);
  EXPECT_EQ(script.Seen()[1].buttonNames, std::vector<std::string>{"BitBtn1"});
}

TEST_F(DialogScriptTest, TheSameDialogShownTwiceIsSeenTwice) {
  QDialog dialog;
  dialog.setWindowTitle("Lista kopii");
  auto* close = new QPushButton("Zamknij", &dialog);
  close->setObjectName("BitBtn2");
  QObject::connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
  DialogScript script;
  script.Expect(Dialog().Caption("Lista kopii").Click("BitBtn2"))
      .Expect(Dialog().Caption("Lista kopii").Click("BitBtn2"));
  EXPECT_TRUE(script.Run([&] {
    dialog.exec();
    dialog.exec();
  }));
}

TEST_F(DialogScriptTest, ScriptedDialogThatNeverComesFailsWhenTheCodeReturns) {
  DialogScript script;
  script.Expect(Dialog().Caption("Informacja").Click("button1"));
  bool passed = true;
  const auto failures = RunCaught(script, [] {}, &passed);
  EXPECT_FALSE(passed);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].find("never appeared"), std::string::npos) << failures[0];
  EXPECT_NE(failures[0].find("\"Informacja\""), std::string::npos) << failures[0];
}

TEST_F(DialogScriptTest, CodeWaitingForAWindowThatIsNotModalTimesOutAndGetsItClosed) {
  DialogScript script(std::chrono::milliseconds(200));
  script.Expect(Dialog().Caption("Informacja").Click("button1"));
  bool passed = true;
  const auto failures = RunCaught(
      script,
      [] {
        QDialog modeless;
        modeless.setWindowTitle("Niemodalne");
        QEventLoop loop;
        QObject::connect(&modeless, &QDialog::finished, &loop, &QEventLoop::quit);
        modeless.show();
        loop.exec();
      },
      &passed);
  EXPECT_FALSE(passed);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].find("timed out after 200 ms waiting for window #1"), std::string::npos) << failures[0];
  EXPECT_NE(failures[0].find("Niemodalne"), std::string::npos) << failures[0];
}

TEST_F(DialogScriptTest, UnexpectedDialogFailsAtOnceNamingWhatAppearedAndIsClosed) {
  DialogScript script;
  std::string answer;
  const auto failures =
      RunCaught(script, [&] { answer = ShowMessageDialog("Błąd", "h", "Coś;poszło źle", "Zakończ"); });
  EXPECT_EQ(answer, " ");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].find("unexpected modal window: TDialogForm caption \"Błąd\" icon \"H\" text "
                             "\"Coś\\nposzło źle\" buttons [\"Zakończ\" (button1)]"),
            std::string::npos)
      << failures[0];
}

TEST_F(DialogScriptTest, MismatchNamesTheDifferencesAndLeavesTheWindowUnanswered) {
  DialogScript script;
  script.Expect(Dialog().Caption("Potwierdzenie").Icon("?").Text("Usunąć?").Buttons({"Tak", "Nie"}).Click("button1"));
  std::string answer;
  const auto failures =
      RunCaught(script, [&] { answer = ShowMessageDialog("Potwierdzenie", "?", "Odtworzyć?", "Nie Tak"); });
  EXPECT_EQ(answer, " ");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].find("text: expected \"Usunąć?\", is \"Odtworzyć?\""), std::string::npos) << failures[0];
  EXPECT_NE(failures[0].find("buttons: expected [\"Tak\", \"Nie\"], are [\"Nie\", \"Tak\"]"), std::string::npos)
      << failures[0];
  EXPECT_EQ(failures[0].find("caption:"), std::string::npos) << failures[0];
}

TEST_F(DialogScriptTest, MissingOrDisabledButtonFails) {
  QDialog dialog;
  dialog.setWindowTitle("Kopia");
  auto* start = new QPushButton("Start", &dialog);
  start->setObjectName("BitBtn1");
  start->setEnabled(false);
  for (const char* name : {"BitBtn1", "BitBtn7"}) {
    SCOPED_TRACE(name);
    DialogScript script;
    script.Expect(Dialog().Caption("Kopia").Click(name));
    int result = -1;
    const auto failures = RunCaught(script, [&] { result = dialog.exec(); });
    EXPECT_EQ(result, QDialog::Rejected);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("button \"" + std::string(name) + "\""), std::string::npos) << failures[0];
  }
}

TEST_F(DialogScriptTest, WindowsAfterAFailureAreClosedAndListed) {
  DialogScript script;
  script.Expect(Dialog().Caption("Pierwsze").Click("button1"));
  std::string second;
  const auto failures = RunCaught(script, [&] {
    ShowMessageDialog("Inne", "", "a", "Dalej");
    second = ShowMessageDialog("Drugie", "", "b", "Dalej");
  });
  EXPECT_EQ(second, " ");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(script.Seen().size(), 2u);
}

TEST_F(DialogScriptTest, CustomAnswerAndChecksRunOnTheLiveWindow) {
  QDialog dialog;
  dialog.setWindowTitle("Wybór");
  int checked = 0;
  DialogScript script;
  script.Expect(Dialog()
                    .Caption("Wybór")
                    .Check([&](QWidget& w) { checked += w.isVisible(); })
                    .Answer([](QWidget& w) { static_cast<QDialog&>(w).done(7); }));
  int result = 0;
  EXPECT_TRUE(script.Run([&] { result = dialog.exec(); }));
  EXPECT_EQ(checked, 1);
  EXPECT_EQ(result, 7);
}

using DialogScriptDeathTest = DialogScriptTest;

TEST_F(DialogScriptDeathTest, WatchdogEndsCodeThatHangsWithoutHandlingEvents) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ruvtest::App();
        DialogScript script(std::chrono::milliseconds(50));
        script.Expect(Dialog().Caption("Nigdy").Click("button1"));
        std::promise<void> never;
        script.Run([&] { never.get_future().wait(); });
      },
      testing::ExitedWithCode(3), "still runs");
}

}  // namespace
