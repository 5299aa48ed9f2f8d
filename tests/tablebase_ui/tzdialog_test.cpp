#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>

#include <algorithm>
#include <string>
#include <vector>

#include "support/dialog_script.h"
#include "tablebase_ui/engineui_qt.h"
#include "tablebase_ui/tzdialog.h"

namespace {

using ruvtest::Dialog;
using ruvtest::DialogScript;

// The Qt UI with the beeps written down instead of sounded.
class BeepRecordingUi : public QtEngineUi {
 public:
  void MessageBeep(uint16_t sound) override { sounds.push_back(sound); }
  std::vector<uint16_t> sounds;
};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ruvtest::App();
    ResetDialogOptions();
    SetUi(&ui);
  }
  void TearDown() override {
    InstallQtEngineUi();
    ResetDialogOptions();
  }
  BeepRecordingUi ui;
};

// The window built for a message, with its parts found by name.
struct Built {
  std::unique_ptr<TDialogForm> form;
  QLabel* message;
  QLabel* icon;
  QList<QPushButton*> buttons;
};

Built Build(const std::string& caption, const std::string& icon, const std::string& message,
            std::string buttons = "Dalej") {
  Built b;
  b.form = BuildMessageDialog(caption, icon, message, buttons);
  b.message = b.form->findChild<QLabel*>("Message");
  b.icon = b.form->findChild<QLabel*>("Icon");
  for (int i = 1; auto* button = b.form->findChild<QPushButton*>(QString("button%1").arg(i)); ++i)
    b.buttons.push_back(button);
  return b;
}

// Everything about a window's layout, for comparing two windows.
std::vector<QRect> Layout(const Built& b) {
  std::vector<QRect> out{b.form->geometry(), b.message->geometry()};
  for (auto* button : b.buttons) out.push_back(button->geometry());
  return out;
}

TEST_F(DialogTest, AnswerIsTheUpperCaseAcceleratorLetterOfThePressedButton) {
  struct Case {
    std::string buttons;
    std::vector<std::string> shown;
    std::string press;
    std::string letter;
  } cases[] = {
      {"Nie Tak", {"Nie", "Tak"}, "button1", "N"},
      {"Nie Tak", {"Nie", "Tak"}, "button2", "T"},
      {"&OK", {"&OK"}, "button1", "O"},
      {"", {"&OK"}, "button1", "O"},
      {"   ", {"&OK"}, "button1", "O"},
      {"Tak Nie Wyłącz_proponowanie_kopii", {"Tak", "Nie", "Wyłącz_proponowanie_kopii"}, "button3", "W"},
      {"Anuluj Uruchom ", {"Anuluj", "Uruchom"}, "button2", "U"},
      {"Dalej  Anuluj", {"Dalej", "Anuluj"}, "button2", "A"},
      {"Wykonaj_aktualizację Zakończ", {"Wykonaj_aktualizację", "Zakończ"}, "button2", "Z"},
      {"a&nuluj", {"a&nuluj"}, "button1", "N"},
      {"wy&łącz", {"wy&łącz"}, "button1", "Ł"},
      {"łatwo", {"łatwo"}, "button1", "Ł"},
      {"zakończ&", {"zakończ&"}, "button1", "Z"},  // nothing after "&": the first letter
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.buttons + " / " + c.press);
    std::string answer;
    DialogScript script;
    script.Expect(Dialog().Caption("Pytanie").Icon("?").Text("Czy?").Buttons(c.shown).Click(c.press));
    EXPECT_TRUE(script.Run([&] { answer = ShowMessageDialog("Pytanie", "?", "Czy?", c.buttons); }));
    EXPECT_EQ(answer, c.letter);
  }
}

// A question asked while another is still open (a handler run by the open
// dialog's event loop) must not take the answer of the first one away.
TEST_F(DialogTest, QuestionAskedWhileAnotherIsOpenKeepsBothAnswers) {
  std::string outer, inner;
  DialogScript script;
  script
      .Expect(Dialog().Caption("Pierwsze").Buttons({"Nie", "Tak"}).Answer([&](QWidget& w) {
        inner = ShowMessageDialog("Drugie", "?", "W trakcie?", "Anuluj Dalej");
        w.findChild<QPushButton*>("button2")->click();
      }))
      .Expect(Dialog().Caption("Drugie").Buttons({"Anuluj", "Dalej"}).Click("button1"));
  EXPECT_TRUE(script.Run([&] { outer = ShowMessageDialog("Pierwsze", "?", "Na pewno?", "Nie Tak"); }));
  EXPECT_EQ(inner, "A");
  EXPECT_EQ(outer, "T");
}

TEST_F(DialogTest, DialogEndedWithoutAButtonAnswersABlank) {
  for (auto answer : {Dialog().PressEscape(), Dialog().CloseBySystem()}) {
    std::string letter;
    DialogScript script;
    script.Expect(answer.Caption("Potwierdzenie").Buttons({"Nie", "Tak"}));
    EXPECT_TRUE(script.Run([&] { letter = ShowMessageDialog("Potwierdzenie", "?", "Na pewno?", "Nie Tak"); }));
    EXPECT_EQ(letter, " ");
  }
}

TEST_F(DialogTest, WindowHasNoCloseBox) {
  Built b = Build("Informacja", "i", "Tekst");
  const Qt::WindowFlags f = b.form->windowFlags();
  EXPECT_TRUE(f & Qt::WindowTitleHint);
  EXPECT_TRUE(f & Qt::CustomizeWindowHint);
  EXPECT_FALSE(f & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(f & Qt::WindowSystemMenuHint);
  EXPECT_FALSE(f & (Qt::WindowMinMaxButtonsHint | Qt::WindowContextHelpButtonHint));
  EXPECT_EQ(b.form->windowTitle(), "Informacja");
}

TEST_F(DialogTest, CaptionFallsBackToTheDefaultCaptionAndWithoutOneTheTitleBarGoes) {
  Built none = Build("  ", "", "Tekst");
  EXPECT_TRUE(none.form->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(none.form->windowTitle(), "");
  EXPECT_EQ(none.message->text(), "Tekst");

  DialogOptions o;
  GetDialogOptions(o);
  o.DefaultCaption = "Uwaga";
  SetDialogOptions(o);
  Built fallback = Build(" ", "", "Tekst");
  EXPECT_FALSE(fallback.form->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(fallback.form->windowTitle(), "Uwaga");
  EXPECT_EQ(Build("  Błąd", "", "Tekst").form->windowTitle(), "Błąd");
}

TEST_F(DialogTest, CaptionlessDialogIsAnsweredLikeAnyOther) {
  std::string letter;
  DialogScript script;
  script.Expect(Dialog().Caption("").Text("Bez tytułu").Buttons({"Dalej"}).Click("button1"));
  EXPECT_TRUE(script.Run([&] { letter = ShowMessageDialog("", "x", "Bez tytułu", "Dalej"); }));
  EXPECT_EQ(letter, "D");
}

TEST_F(DialogTest, EveryLineBreakGivesTheSameLayout) {
  const Built semicolon = Build("Informacja", "i", "Pierwsza linia;druga");
  EXPECT_EQ(semicolon.message->text(), "Pierwsza linia\ndruga");
  for (const char* text : {"Pierwsza linia\r\ndruga", "Pierwsza linia\ndruga", "Pierwsza linia\n\rdruga",
                           "Pierwsza linia\rdruga"}) {
    SCOPED_TRACE(text);
    const Built other = Build("Informacja", "i", text);
    EXPECT_EQ(other.message->text(), semicolon.message->text());
    EXPECT_EQ(Layout(other), Layout(semicolon));
  }
  const Built three = Build("Informacja", "i", "Pierwsza linia;;druga");
  EXPECT_EQ(three.message->text(), "Pierwsza linia\n\ndruga");
  EXPECT_GT(three.form->height(), semicolon.form->height());
}

TEST_F(DialogTest, CentertextIsRemovedAndChangesNothingElse) {
  const Built plain = Build("Informacja", "i", "Kopia wykonana.;Plików: 3");
  for (const char* text : {"Kopia wykonana.;Plików: 3 CENTERTEXT", "Kopia wykonana.;Plików: 3 centertext",
                           "Kopia wykonana. CenterText;Plików: 3"}) {
    SCOPED_TRACE(text);
    const Built centred = Build("Informacja", "i", text);
    EXPECT_EQ(centred.message->text(), plain.message->text());
    EXPECT_EQ(Layout(centred), Layout(plain));
  }
  // Only the first occurrence goes.
  EXPECT_EQ(Build("", "", "a CENTERTEXT CENTERTEXT").message->text(), "a CENTERTEXT");
}

TEST_F(DialogTest, IconCodesShowTheIconAndSoundItsBeep) {
  struct Case {
    std::string code;
    std::string shown;
    int sound;  // -1: none
  } cases[] = {
      {"i", "I", MB_ICONASTERISK}, {"I", "I", MB_ICONASTERISK}, {"h", "H", MB_ICONHAND},
      {"!", "!", MB_ICONEXCLAMATION}, {"?", "?", MB_ICONQUESTION}, {"a", "A", MB_BEEP_SIMPLE},
      {"x", "", -1}, {"", "", -1}, {"ix", "I", MB_ICONASTERISK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    ui.sounds.clear();
    DialogScript script;
    script.Expect(Dialog().Icon(c.shown).Click("button1"));
    EXPECT_TRUE(script.Run([&] { ShowMessageDialog("Informacja", c.code, "Tekst", "Dalej"); }));
    EXPECT_EQ(ui.sounds, c.sound < 0 ? std::vector<uint16_t>{} : std::vector<uint16_t>{uint16_t(c.sound)});

    const Built b = Build("Informacja", c.code, "Tekst");
    EXPECT_EQ(b.icon != nullptr, !c.shown.empty());
    if (b.icon) {
      EXPECT_EQ(b.icon->geometry(), QRect(10, 10, 32, 32));
      EXPECT_FALSE(b.icon->pixmap().isNull());
    }
    EXPECT_GE(b.message->x(), b.icon ? 52 : 20);
  }
}

TEST_F(DialogTest, BeepOffSoundsNothing) {
  DialogOptions o;
  GetDialogOptions(o);
  o.Beep = false;
  SetDialogOptions(o);
  DialogScript script;
  script.Expect(Dialog().Icon("H").Click("button1"));
  EXPECT_TRUE(script.Run([&] { ShowMessageDialog("Błąd", "h", "Tekst", "Zakończ"); }));
  EXPECT_TRUE(ui.sounds.empty());
}

TEST_F(DialogTest, ApplicationLookCentresTextAndButtonsAndFitsTheCaption) {
  DialogOptions o;
  GetDialogOptions(o);
  o.Font = QFont("Tahoma", 10);
  SetDialogOptions(o);
  for (const char* caption : {"Informacja", "Bardzo długi tytuł okna dialogowego z wieloma słowami w środku"}) {
    SCOPED_TRACE(caption);
    const Built b = Build(caption, "", "Krótko.", "Dalej");
    const int w = b.form->width(), h = b.form->height();
    const QFontMetrics fm(b.form->font());
    EXPECT_FALSE(b.form->font().bold());
    EXPECT_EQ(b.form->font().pointSize(), 10);
    EXPECT_GE(w, fm.horizontalAdvance(caption));
    // Centred as a block, but never nearer the left edge than 20.
    EXPECT_EQ(b.message->x(), std::max(20, (w - b.message->width()) / 2));
    EXPECT_EQ(b.message->width(), fm.horizontalAdvance("  Krótko.  "));
    ASSERT_EQ(b.buttons.size(), 1);
    const QRect button = b.buttons[0]->geometry();
    EXPECT_EQ(button.width(), fm.horizontalAdvance("WDalejW"));
    EXPECT_EQ(button.height(), fm.height() + 10);
    EXPECT_EQ(button.x(), (w - button.width()) / 2);
    EXPECT_EQ(button.y() + button.height(), h - 10);
    EXPECT_GE(button.y(), b.message->geometry().bottom() + 10);
  }
}

TEST_F(DialogTest, ButtonsStandInOrderAllAsWideAsTheWidestTenPixelsApart) {
  const Built b = Build("Informacja", "i", "Tekst", "Tak Nie Wyłącz_proponowanie_kopii");
  ASSERT_EQ(b.buttons.size(), 3);
  const QFontMetrics fm(b.form->font());
  const int width = fm.horizontalAdvance("WWyłącz_proponowanie_kopiiW");
  const int row = 3 * width + 20;
  EXPECT_EQ(b.buttons[0]->x(), (b.form->width() - row) / 2);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(b.buttons[i]->width(), width);
    if (i) {
      EXPECT_EQ(b.buttons[i]->x(), b.buttons[i - 1]->x() + width + 10);
    }
  }
  EXPECT_EQ(b.buttons[2]->text(), "Wyłącz_proponowanie_kopii");
  EXPECT_GE(b.form->width(), row + 20);
}

TEST_F(DialogTest, AtMostEightButtons) {
  const Built b = Build("", "", "Tekst", "a b c d e f g h i j");
  EXPECT_EQ(b.buttons.size(), 8);
  EXPECT_EQ(b.buttons.back()->text(), "h");
}

TEST_F(DialogTest, EmptyButtonListBecomesOkInTheCallersVariable) {
  std::string buttons = "  ";
  BuildMessageDialog("", "", "x", buttons);
  EXPECT_EQ(buttons, "&OK");
  buttons = "Tak ";
  BuildMessageDialog("", "", "x", buttons);
  EXPECT_EQ(buttons, "Tak ");
}

TEST_F(DialogTest, OptionsKeepColoursForZeroCutTextsAndClampTheArea) {
  DialogOptions o;
  GetDialogOptions(o);
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_EQ(o.BackColor, 0xC0C0C0u);
  EXPECT_EQ(o.SpareColor, 0xC0C0C0u);
  EXPECT_EQ(o.TextColor, 0u);
  EXPECT_TRUE(o.Beep);
  EXPECT_EQ(o.AreaRight, screen.width());
  EXPECT_EQ(o.AreaBottom, screen.height());

  o.TextColor = 0x0000FF;        // red
  o.ButtonTextColor = 0xFF0000;  // blue
  o.BackColor = 0x00FFFF;        // yellow
  o.DefaultCaption = std::string(79, 'x') + "ąę";
  o.PictureFile = std::string(75, 'p');
  o.AreaLeft = -5;
  o.AreaTop = -1;
  o.AreaRight = screen.width() + 100;
  o.AreaBottom = screen.height() + 1;
  SetDialogOptions(o);
  DialogOptions back;
  GetDialogOptions(back);
  EXPECT_EQ(back.DefaultCaption, std::string(79, 'x') + "ą");
  EXPECT_EQ(back.PictureFile, std::string(70, 'p'));
  EXPECT_EQ(back.AreaLeft, 0);
  EXPECT_EQ(back.AreaTop, 0);
  EXPECT_EQ(back.AreaRight, screen.width());
  EXPECT_EQ(back.AreaBottom, screen.height());

  back.TextColor = 0;  // 0 means "unchanged": black cannot come back
  back.BackColor = 0;
  back.ButtonTextColor = 0;
  back.SpareColor = 0;
  SetDialogOptions(back);
  DialogOptions again;
  GetDialogOptions(again);
  EXPECT_EQ(again.TextColor, 0x0000FFu);
  EXPECT_EQ(again.BackColor, 0x00FFFFu);
  EXPECT_EQ(again.ButtonTextColor, 0xFF0000u);
  EXPECT_EQ(again.SpareColor, 0xC0C0C0u);

  const Built b = Build("Kolory", "", "Tekst");
  EXPECT_EQ(b.message->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(b.form->palette().color(QPalette::Window), QColor(255, 255, 0));
  EXPECT_EQ(b.buttons[0]->palette().color(QPalette::ButtonText), QColor(0, 0, 255));
}

TEST_F(DialogTest, FontFaceAndSizeReplaceTheDialogFontAndOnlyAnEmptyStyleDropsBold) {
  struct Case {
    QFont font;
    bool bold;
  };
  QFont italic("DejaVu Serif", 14);
  italic.setItalic(true);
  QFont bold("DejaVu Serif", 14);
  bold.setBold(true);
  for (const auto& c : {Case{QFont("DejaVu Serif", 14), false}, Case{italic, true}, Case{bold, true}}) {
    DialogOptions o;
    GetDialogOptions(o);
    o.Font = c.font;
    SetDialogOptions(o);
    const QFont f = Build("Czcionka", "", "Tekst").form->font();
    EXPECT_EQ(f.family(), "DejaVu Serif");
    EXPECT_EQ(f.pointSize(), 14);
    EXPECT_EQ(f.bold(), c.bold);
    EXPECT_FALSE(f.italic());
  }
  DialogOptions o;
  GetDialogOptions(o);
  o.Font.reset();
  SetDialogOptions(o);
  const QFont f = Build("Czcionka", "", "Tekst").form->font();
  EXPECT_TRUE(f.bold());
  EXPECT_EQ(f.pixelSize(), 11);
}

TEST_F(DialogTest, NarrowAreaLimitsTheWidthWrapsTheTextAndCentresInTheArea) {
  DialogOptions o;
  GetDialogOptions(o);
  o.AreaLeft = 100;
  o.AreaRight = 300;
  o.AreaTop = 50;
  o.AreaBottom = 450;
  SetDialogOptions(o);
  const Built b = Build("Informacja", "i",
                        "Bardzo długi komunikat, który nie mieści się w wąskim obszarze i musi zostać zawinięty.");
  EXPECT_EQ(b.form->width(), 200);
  EXPECT_EQ(b.form->x(), 100);
  EXPECT_EQ(b.form->y(), (400 - b.form->height()) / 2 + 50);
  EXPECT_EQ(b.message->width(), 200 - 62);
  // The wrapped lines all fit in the text block, above the buttons.
  EXPECT_GE(b.message->height(), b.message->heightForWidth(b.message->width()));
  EXPECT_GT(b.message->height(), QFontMetrics(b.form->font()).height() * 2);
  EXPECT_GE(b.buttons[0]->y(), b.message->geometry().bottom());
}

TEST_F(DialogTest, PictureStandsInTheUpperRightCornerWhenItsFileExists) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("logo.png");
  QImage logo(40, 30, QImage::Format_RGB32);
  logo.fill(Qt::red);
  ASSERT_TRUE(logo.save(path));

  DialogOptions o;
  GetDialogOptions(o);
  o.PictureFile = path.toStdString();
  SetDialogOptions(o);
  const Built b = Build("Obraz", "i", "Tekst");
  auto* picture = b.form->findChild<QLabel*>("Picture");
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(picture->geometry(), QRect(b.form->width() - 50, 10, 40, 30));
  EXPECT_GE(b.form->height(), 30 + 20);

  o.PictureFile = dir.filePath("brak.png").toStdString();
  SetDialogOptions(o);
  EXPECT_EQ(Build("Obraz", "i", "Tekst").form->findChild<QLabel*>("Picture"), nullptr);
}

TEST_F(DialogTest, ArrowShowsOverTheDialogAndTheCallersHourglassComesBack) {
  ScreenCursorScope busy(true);
  bool arrowDuringDialog = false;
  DialogScript script;
  script.Expect(Dialog()
                    .Check([&](QWidget&) {
                      arrowDuringDialog = !Ui().BusyCursor() && !QGuiApplication::overrideCursor();
                    })
                    .Click("button1"));
  EXPECT_TRUE(script.Run([&] { ShowMessageDialog("Informacja", "i", "Tekst", "Dalej"); }));
  EXPECT_TRUE(arrowDuringDialog);
  EXPECT_TRUE(Ui().BusyCursor());
  ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
}

// The default area is the whole screen: the dialog stands in its middle,
// wherever the window that asks stands, built and shown alike.
TEST_F(DialogTest, WithTheDefaultAreaTheDialogStandsInTheMiddleOfTheScreen) {
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  QWidget main;
  main.setGeometry(40, 60, 500, 400);
  for (bool asking : {false, true}) {
    SCOPED_TRACE(asking ? "a window off the middle is active" : "no window is active");
    if (asking) {
      main.show();
      QApplication::setActiveWindow(&main);
      ASSERT_EQ(QApplication::activeWindow(), &main);
    }
    const Built b = Build("Informacja", "i", "Tekst");
    const QPoint middle((screen.width() - b.form->width()) / 2, (screen.height() - b.form->height()) / 2);
    EXPECT_EQ(b.form->pos(), middle);
    // Shown, the window has a frame (offscreen too), and the frame is
    // what stands in the middle; a message wider or higher than the screen
    // gets a window whose frame, too, stays on it.
    std::string tall;
    for (int i = 0; i < 80; ++i) tall += "Linia;";
    for (const std::string& text : {std::string("Tekst"), std::string(300, 'w') + " w", tall}) {
      SCOPED_TRACE(text.substr(0, 12));
      QRect shown;
      DialogScript script;
      script.Expect(Dialog().Check([&](QWidget& w) { shown = w.frameGeometry(); }).Click("button1"));
      EXPECT_TRUE(script.Run([&] { ShowMessageDialog("Informacja", "i", text, "Dalej"); }));
      EXPECT_GT(shown.height(), b.form->height());
      EXPECT_EQ(shown.topLeft(), QPoint((screen.width() - shown.width()) / 2, (screen.height() - shown.height()) / 2));
      EXPECT_TRUE(screen.contains(shown)) << shown.x() << "," << shown.y() << " " << shown.width() << "x"
                                          << shown.height();
    }
  }
}

}  // namespace
