#include "support/dialog_script.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "tablebase_ui/engineui_qt.h"

namespace ruvtest {

QApplication& App() {
  static QApplication* app = [] {
    static int argc = 1;
    static char name[] = "ruv_tests";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never freed: Qt's own globals may be gone by the time statics die.
    QApplication* a = std::make_unique<QApplication>(argc, argv).release();
    InstallQtEngineUi();
    LoadPolishQtTranslation(*a);
    return a;
  }();
  return *app;
}

namespace {

std::string Quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out + "\"";
}

std::string List(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + Quoted(items[i]);
  return out + "]";
}

std::string MessageBoxIcon(QMessageBox::Icon icon) {
  switch (icon) {
    case QMessageBox::Critical: return "H";
    case QMessageBox::Information: return "I";
    case QMessageBox::Warning: return "!";
    case QMessageBox::Question: return "?";
    default: return "";
  }
}

std::string Utf8(const QString& s) { return QString(s).replace("\r\n", "\n").toStdString(); }

// Ends a window the way the system would: Esc-like reject for dialogs.
void CloseLater(QWidget* w) {
  QMetaObject::invokeMethod(
      w,
      [w] {
        if (auto* d = qobject_cast<QDialog*>(w))
          d->reject();
        else
          w->close();
      },
      Qt::QueuedConnection);
}

std::string ShowingNow() {
  std::string out;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible()) out += "\n    " + Inspect(*w).Describe();
  return out.empty() ? " nothing" : out;
}

}  // namespace

std::string SeenWindow::Describe() const {
  std::string out = className;
  if (!objectName.empty()) out += " \"" + objectName + "\"";
  out += " caption " + Quoted(caption);
  if (!icon.empty()) out += " icon " + Quoted(icon);
  if (!text.empty()) out += " text " + Quoted(text);
  out += " buttons [";
  for (size_t i = 0; i < buttons.size(); ++i)
    out += (i ? ", " : "") + Quoted(buttons[i]) + (buttonNames[i].empty() ? "" : " (" + buttonNames[i] + ")");
  return out + "]";
}

SeenWindow Inspect(const QWidget& window) {
  SeenWindow s;
  s.className = window.metaObject()->className();
  s.objectName = window.objectName().toStdString();
  s.caption = Utf8(window.windowTitle());
  if (const auto* box = qobject_cast<const QMessageBox*>(&window)) {
    s.icon = MessageBoxIcon(box->icon());
    s.text = Utf8(box->text());
  } else {
    s.icon = window.property("iconCode").toString().toStdString();
    if (const auto* label = window.findChild<const QLabel*>("Message")) s.text = Utf8(label->text());
  }
  QList<QPushButton*> buttons = window.findChildren<QPushButton*>();
  buttons.removeIf([&](QPushButton* b) { return !b->isVisibleTo(&window); });
  std::stable_sort(buttons.begin(), buttons.end(), [&](QPushButton* a, QPushButton* b) {
    const QPoint pa = a->mapTo(&window, QPoint(0, 0)), pb = b->mapTo(&window, QPoint(0, 0));
    return pa.y() != pb.y() ? pa.y() < pb.y() : pa.x() < pb.x();
  });
  for (QPushButton* b : buttons) {
    s.buttons.push_back(Utf8(b->text()));
    s.buttonNames.push_back(b->objectName().toStdString());
  }
  return s;
}

Dialog& Dialog::Caption(std::string caption) {
  fields_.emplace_back("caption", std::move(caption));
  return *this;
}
Dialog& Dialog::Icon(std::string code) {
  fields_.emplace_back("icon", std::move(code));
  return *this;
}
Dialog& Dialog::Text(std::string text) {
  fields_.emplace_back("text", std::move(text));
  return *this;
}
Dialog& Dialog::Buttons(std::vector<std::string> captions) {
  checkButtons_ = true;
  buttons_ = std::move(captions);
  return *this;
}
Dialog& Dialog::Check(std::function<void(QWidget&)> check) {
  check_ = std::move(check);
  return *this;
}
Dialog& Dialog::Click(std::string buttonName) {
  kind_ = Kind::Click;
  buttonName_ = std::move(buttonName);
  return *this;
}
Dialog& Dialog::PressEscape() {
  kind_ = Kind::Escape;
  return *this;
}
Dialog& Dialog::CloseBySystem() {
  kind_ = Kind::Close;
  return *this;
}
Dialog& Dialog::Answer(std::function<void(QWidget&)> answer) {
  kind_ = Kind::Custom;
  answer_ = std::move(answer);
  return *this;
}

std::string Dialog::Describe() const {
  std::string out = "window";
  for (const auto& [name, value] : fields_) out += std::string(" ") + name + " " + Quoted(value);
  if (checkButtons_) out += " buttons " + List(buttons_);
  switch (kind_) {
    case Kind::Click: return out + ", answered by clicking \"" + buttonName_ + "\"";
    case Kind::Escape: return out + ", answered by Esc";
    case Kind::Close: return out + ", closed by the system";
    case Kind::Custom: return out + ", answered by the test";
    case Kind::None: break;
  }
  return out + ", with no answer scripted";
}

std::string Dialog::Mismatch(const SeenWindow& seen) const {
  std::string out;
  for (const auto& [name, value] : fields_) {
    const std::string& actual = name == std::string("caption") ? seen.caption
                                : name == std::string("icon")  ? seen.icon
                                                               : seen.text;
    if (actual != value) out += std::string("\n    ") + name + ": expected " + Quoted(value) + ", is " + Quoted(actual);
  }
  if (checkButtons_ && buttons_ != seen.buttons)
    out += "\n    buttons: expected " + List(buttons_) + ", are " + List(seen.buttons);
  return out;
}

// Forgets an answered window once it hides, so a window shown again (the
// same dialog object run twice) is taken as a new one.
class HideWatcher : public QObject {
 public:
  explicit HideWatcher(std::vector<QPointer<QWidget>>& handled) : handled_(handled) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Hide) {
      std::erase_if(handled_, [&](const QPointer<QWidget>& w) { return w == watched; });
      watched->removeEventFilter(this);
    }
    return false;
  }

 private:
  std::vector<QPointer<QWidget>>& handled_;
};

struct DialogScript::State {
  std::chrono::milliseconds timeout;
  std::vector<Dialog> expected;
  size_t next = 0;
  std::vector<SeenWindow> seen;
  std::vector<QPointer<QWidget>> handled;
  bool failed = false;
  bool timedOut = false;
  bool ran = false;
  std::chrono::steady_clock::time_point start;

  // Shared with the watchdog thread.
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::string log;

  void Fail(const std::string& message) {
    failed = true;
    ADD_FAILURE() << message << SeenSoFar();
  }

  std::string SeenSoFar() const {
    std::string out = "\n  modal windows seen:";
    if (seen.empty()) return out + " none";
    for (size_t i = 0; i < seen.size(); ++i) out += "\n    " + std::to_string(i + 1) + ". " + seen[i].Describe();
    return out;
  }

  std::string NextExpected() const {
    return next < expected.size() ? "window #" + std::to_string(next + 1) + ": " + expected[next].Describe()
                                  : "the code to return";
  }

  void Poll(HideWatcher& watcher) {
    std::erase_if(handled, [](const QPointer<QWidget>& w) { return !w; });
    QWidget* w = QApplication::activeModalWidget();
    if (w && std::find(handled.begin(), handled.end(), w) == handled.end()) {
      handled.emplace_back(w);
      w->installEventFilter(&watcher);
      Handle(*w);
      return;
    }
    if (!timedOut && std::chrono::steady_clock::now() - start > timeout) {
      timedOut = true;
      Fail("timed out after " + std::to_string(timeout.count()) + " ms waiting for " + NextExpected() +
           "\n  showing now:" + ShowingNow());
      for (QWidget* top : QApplication::topLevelWidgets())
        if (top->isVisible()) CloseLater(top);
    }
    if (timedOut && w) CloseLater(w);
  }

  void Handle(QWidget& w) {
    seen.push_back(Inspect(w));
    const SeenWindow& s = seen.back();
    {
      std::lock_guard lock(mutex);
      log += "\n    " + s.Describe();
    }
    if (failed) {
      CloseLater(&w);
      return;
    }
    if (next >= expected.size()) {
      Fail("unexpected modal window: " + s.Describe() + "\n  no further window was scripted");
      CloseLater(&w);
      return;
    }
    const Dialog& d = expected[next++];
    if (const std::string diff = d.Mismatch(s); !diff.empty()) {
      Fail("modal window #" + std::to_string(next) + " is not the scripted one:\n  scripted: " + d.Describe() +
           "\n  appeared: " + s.Describe() + diff);
      CloseLater(&w);
      return;
    }
    if (d.check_) d.check_(w);
    switch (d.kind_) {
      case Dialog::Kind::Click: {
        QPushButton* b = nullptr;
        for (QPushButton* c : w.findChildren<QPushButton*>(QString::fromStdString(d.buttonName_)))
          if (c->isVisibleTo(&w)) b = c;
        if (!b || !b->isEnabled()) {
          Fail("modal window #" + std::to_string(next) + " has no " + (b ? "enabled " : "") + "button \"" +
               d.buttonName_ + "\": " + s.Describe());
          CloseLater(&w);
          return;
        }
        QMetaObject::invokeMethod(b, &QAbstractButton::click, Qt::QueuedConnection);
        return;
      }
      case Dialog::Kind::Escape:
        QMetaObject::invokeMethod(
            &w,
            [&w] {
              QWidget* target = w.focusWidget() ? w.focusWidget() : &w;
              QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
              QApplication::sendEvent(target, &esc);
            },
            Qt::QueuedConnection);
        return;
      case Dialog::Kind::Close:
        QMetaObject::invokeMethod(&w, &QWidget::close, Qt::QueuedConnection);
        return;
      case Dialog::Kind::Custom:
        QMetaObject::invokeMethod(&w, [&w, answer = d.answer_] { answer(w); }, Qt::QueuedConnection);
        return;
      case Dialog::Kind::None:
        Fail("modal window #" + std::to_string(next) + " has no answer scripted: " + s.Describe());
        CloseLater(&w);
        return;
    }
  }
};

DialogScript::DialogScript(std::chrono::milliseconds timeout) : s_(std::make_unique<State>()) {
  s_->timeout = timeout;
}

DialogScript::~DialogScript() = default;

DialogScript& DialogScript::Expect(Dialog dialog) {
  s_->expected.push_back(std::move(dialog));
  return *this;
}

const std::vector<SeenWindow>& DialogScript::Seen() const { return s_->seen; }

bool DialogScript::Run(const std::function<void()>& code) {
  State& s = *s_;
  if (s.ran) {
    s.Fail("a DialogScript runs once");
    return false;
  }
  s.ran = true;
  s.start = std::chrono::steady_clock::now();

  // The last resort for code that hangs without handling events, where the
  // poll below never runs: report and end the process.
  std::thread watchdog([&s, deadline = s.start + s.timeout + std::chrono::seconds(5)] {
    std::unique_lock lock(s.mutex);
    if (s.cv.wait_until(lock, deadline, [&s] { return s.done; })) return;
    const std::string message = "DialogScript: the code under test still runs " +
                                std::to_string(s.timeout.count()) +
                                " ms + 5 s after it started; ending the test process.\n  modal windows seen:" +
                                (s.log.empty() ? std::string(" none") : s.log) + "\n";
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fflush(stderr);
    std::_Exit(3);
  });
  struct StopWatchdog {
    State& s;
    std::thread& t;
    ~StopWatchdog() {
      {
        std::lock_guard lock(s.mutex);
        s.done = true;
      }
      s.cv.notify_all();
      t.join();
    }
  } stop{s, watchdog};

  HideWatcher watcher(s.handled);
  QTimer poll;
  poll.setInterval(5);
  QObject::connect(&poll, &QTimer::timeout, [&] { s.Poll(watcher); });
  poll.start();
  code();
  poll.stop();
  for (const QPointer<QWidget>& w : s.handled)
    if (w) w->removeEventFilter(&watcher);

  if (!s.failed && s.next < s.expected.size())
    s.Fail("the code returned, but scripted " + s.NextExpected() + " never appeared");
  return !s.failed;
}

}  // namespace ruvtest
