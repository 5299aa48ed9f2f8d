// Test harness for code that opens modal windows (the message dialog, the
// program's own modal windows, message boxes, file dialogs).
//
// A test scripts, in order, every modal window the code must open: what it
// must look like and how to answer it. The code then runs on the test's own
// thread, the way the program runs it; each modal window that comes up is
// compared with the next scripted one and answered. Anything else fails the
// test at once, naming what did appear:
//
//   ruvtest::App();
//   std::string answer;
//   ruvtest::DialogScript script;
//   script.Expect(ruvtest::Dialog()
//                     .Caption("Potwierdzenie").Icon("?")
//                     .Text("Potwierdź zamiar odtwarzania plików z kopii.")
//                     .Buttons({"Nie", "Tak"})
//                     .Click("button2"));
//   EXPECT_TRUE(script.Run([&] { answer = ShowMessageDialog("Potwierdzenie", "?", "...", "Nie Tak"); }));
//   EXPECT_EQ(answer, "T");
//
// Failures are gtest non-fatal failures of the running test:
// - a modal window that was not scripted next (it is closed as the system
//   would close it, and every later window too, so the code can return);
// - a scripted window whose caption, icon, text or buttons differ (closed
//   the same way, not answered);
// - a scripted button that is missing or disabled;
// - a scripted window that never came before the code returned;
// - the code still running when the timeout passes: every window showing
//   is closed (so code that waits for one can return); if the code does not return within five seconds more
//   (it hangs without handling events), the watchdog prints what was seen
//   and ends the test process with exit status 3.
// Windows that are not modal (the wait and progress windows) are not part
// of the script. All texts are UTF-8.
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QApplication;
class QWidget;

namespace ruvtest {

// The test process's QApplication (made on the first call, never freed), on
// the offscreen platform unless QT_QPA_PLATFORM says otherwise, with the Qt
// engine UI and Qt's Polish texts installed.
QApplication& App();

// A modal window as the harness sees it.
struct SeenWindow {
  std::string className;
  std::string objectName;
  std::string caption;
  // The message dialog's icon code ("H", "I", "!", "?", "A"); for a
  // QMessageBox its icon as the same codes (Critical "H", Information "I",
  // Warning "!", Question "?"); "" for none.
  std::string icon;
  // The message dialog's "Message" label or the QMessageBox text, lines
  // separated by "\n"; "" for other windows.
  std::string text;
  // Every visible push button, top to bottom and left to right: the caption
  // as written ("&OK", "Wyłącz_proponowanie_kopii") and the object name.
  std::vector<std::string> buttons;
  std::vector<std::string> buttonNames;

  std::string Describe() const;
};

SeenWindow Inspect(const QWidget& window);

// One scripted modal window: the checks (each optional) and one answer.
class Dialog {
 public:
  Dialog& Caption(std::string caption);
  // "" expects no icon.
  Dialog& Icon(std::string code);
  // Lines separated by "\n".
  Dialog& Text(std::string text);
  // Captions as written, in order.
  Dialog& Buttons(std::vector<std::string> captions);
  // Further checks of the live window (gtest EXPECT_* inside), run after the
  // ones above and before the answer.
  Dialog& Check(std::function<void(QWidget&)> check);

  // The answer. Clicks the push button of that object name.
  Dialog& Click(std::string buttonName);
  // Sends the Esc key to the window's focus widget.
  Dialog& PressEscape();
  // Closes the window as the window manager's close button would.
  Dialog& CloseBySystem();
  // Any other answer (fill in a file dialog and accept it, ...); it must end
  // the window.
  Dialog& Answer(std::function<void(QWidget&)> answer);

  std::string Describe() const;

 private:
  friend class DialogScript;
  enum class Kind { None, Click, Escape, Close, Custom };
  // What differs from `seen`; "" when it matches.
  std::string Mismatch(const SeenWindow& seen) const;

  std::vector<std::pair<const char*, std::string>> fields_;  // caption, icon, text
  bool checkButtons_ = false;
  std::vector<std::string> buttons_;
  std::function<void(QWidget&)> check_;
  Kind kind_ = Kind::None;
  std::string buttonName_;
  std::function<void(QWidget&)> answer_;
};

class DialogScript {
 public:
  explicit DialogScript(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  ~DialogScript();
  DialogScript(const DialogScript&) = delete;
  DialogScript& operator=(const DialogScript&) = delete;

  // Appends the next window the code must open.
  DialogScript& Expect(Dialog dialog);
  // Runs `code`, answering its modal windows as scripted (see the top of
  // this file). Returns true when every scripted window came in order,
  // matched and was answered, and nothing else came. A script runs once.
  bool Run(const std::function<void()>& code);
  // The modal windows that appeared, in order.
  const std::vector<SeenWindow>& Seen() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace ruvtest
