// The windows keep the sizes they were designed with, so every caption must
// fit its component in the fallback font that stands in for Tahoma.
#include <QAbstractButton>
#include <QFontInfo>
#include <QHelpEvent>
#include <QPushButton>
#include <QToolTip>
#include <QLabel>

#include "admin/AdmUi.h"
#include "admin/Adm_EkRuv.h"
#include "admin/Adm_EkrRuv_par.h"
#include "admin/Adm_Ekr_kopia.h"
#include "admin/Adm_Ekr_lista_kopii.h"
#include "admin/Ekr_Adm_ftp.h"
#include "admin/USzukZb.h"
#include "admin_window_util.h"

namespace {

class WindowCaptions : public testutil::ProgramTree {
 protected:
  // The shown components of `window` whose text is wider than the
  // component.
  static std::vector<std::string> Clipped(QWidget& window) {
    window.show();
    std::vector<std::string> clipped;
    for (QWidget* w : window.findChildren<QWidget*>()) {
      const bool captioned = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLabel*>(w);
      if (!captioned || !w->isVisible()) continue;
      if (w->sizeHint().width() > w->width())
        clipped.push_back(w->objectName().toStdString() + " (" + std::to_string(w->sizeHint().width()) + " > " +
                          std::to_string(w->width()) + ")");
    }
    return clipped;
  }
};

TEST_F(WindowCaptions, EveryCaptionFitsItsComponent) {
  ruvtest::DialogScript none;
  std::unique_ptr<TEkr_Ruv> main;
  ASSERT_TRUE(none.Run([&] { main = std::make_unique<TEkr_Ruv>(); }));
  TAdm_ftp update(main.get());
  TEkruv_par settings(main.get());
  TEkSzukaj search(main.get());
  for (QWidget* w : std::initializer_list<QWidget*>{main.get(), &update, &settings, &search}) {
    EXPECT_EQ(Clipped(*w), std::vector<std::string>()) << w->objectName().toStdString();
    w->hide();
  }
  // The settings window's other page.
  settings.PageControl1->setCurrentIndex(0);
  EXPECT_EQ(Clipped(settings), std::vector<std::string>());
}

// Every window but the main one opens at the centre of the screen, not
// over the main window (here in the screen's top left corner).
TEST_F(WindowCaptions, WindowsOpenAtTheCentreOfTheScreen) {
  ruvtest::DialogScript none;
  std::unique_ptr<TEkr_Ruv> main;
  ASSERT_TRUE(none.Run([&] { main = std::make_unique<TEkr_Ruv>(); }));
  main->move(0, 0);
  main->show();
  TAdm_ftp update(main.get());
  TEkruv_par settings(main.get());
  TEkSzukaj search(main.get());
  TEk_Adm_kopia backup(*main);
  TAdm_Ek_lista_kopii list(*main);
  for (QWidget* w : std::initializer_list<QWidget*>{&update, &settings, &search, &backup, &list}) {
    w->show();
    const QPoint centre = w->screen()->availableGeometry().center();
    EXPECT_LE((w->frameGeometry().center() - centre).manhattanLength(), 2) << w->objectName().toStdString();
    w->hide();
  }
}

// The engine's message dialog takes only the family name of the font it is
// given; the name "Tahoma" must reach the same fallback.
TEST(FontSubstitutes, TahomaByNameUsesTheCloseFallback) {
  ruvtest::App();
  RegisterFontSubstitutes();
  QFont byName("Tahoma");
  byName.setPixelSize(13);
  EXPECT_EQ(QFontInfo(byName).family(), QFontInfo(TahomaFont(13)).family());
  EXPECT_EQ(QFontInfo(byName).family(), "Liberation Sans");
}

// A hint stays up for 100 seconds, also one whose widget never set its own
// time (the backup button's).
TEST_F(WindowCaptions, HintsStayVisibleForOneHundredSeconds) {
  KeepHintsVisible();
  ruvtest::DialogScript none;
  std::unique_ptr<TEkr_Ruv> main;
  ASSERT_TRUE(none.Run([&] { main = std::make_unique<TEkr_Ruv>(); }));
  TEk_Adm_kopia backup(*main);
  backup.show();
  QPushButton& button = *backup.BitBtnKopia;
  const QPoint at = button.rect().center();
  QHelpEvent hover(QEvent::ToolTip, at, button.mapToGlobal(at));
  QApplication::sendEvent(&button, &hover);
  EXPECT_TRUE(QToolTip::isVisible());
  EXPECT_EQ(QToolTip::text(), "Twórz kopię");
  EXPECT_EQ(button.toolTipDuration(), 100000);
  QToolTip::hideText();
}

}  // namespace
