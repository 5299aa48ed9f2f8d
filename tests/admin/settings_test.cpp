#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabWidget>

#include "admin/AdmUi.h"
#include "admin/Adm_EkRuv.h"
#include "admin/Adm_EkrRuv_par.h"
#include "admin/USzukZb.h"
#include "admin_window_util.h"

namespace {

using testutil::Message;
using testutil::ReadFile;
using testutil::WriteFile;

// "Zażółć gęślą jaźń" and "wspólne" in Windows-1250.
const std::string kZazolc1250 = "Za\xBF\xF3\xB3\xE6 g\xEA\x9Cl\xB9 ja\x9F\xF1";
const std::string kWspolne1250 = "wsp\xF3lne";

class Settings : public testutil::ProgramTree {
 protected:
  void SetUp() override {
    ProgramTree::SetUp();
    ruvtest::DialogScript none;
    EXPECT_TRUE(none.Run([&] { main = std::make_unique<TEkr_Ruv>(); }));
  }
  void TearDown() override {
    main.reset();
    ProgramTree::TearDown();
  }
  // Opens the settings window through the menu and lets `answer` work in
  // it; `more` are the windows that follow inside it.
  bool Open(const std::function<void(TEkruv_par&)>& answer, std::vector<ruvtest::Dialog> more = {}) {
    ruvtest::DialogScript script;
    script.Expect(ruvtest::Dialog().Caption("Parametry").Answer([answer](QWidget& w) {
      answer(static_cast<TEkruv_par&>(w));
    }));
    for (auto& d : more) script.Expect(std::move(d));
    return script.Run([&] { main->Parametry1->trigger(); });
  }
  static ruvtest::Dialog Search(const std::string& caption, const std::function<void(TEkSzukaj&)>& answer) {
    return ruvtest::Dialog().Caption(caption).Answer([answer](QWidget& w) { answer(static_cast<TEkSzukaj&>(w)); });
  }

  std::unique_ptr<TEkr_Ruv> main;
};

TEST_F(Settings, ShowsTheStoredSettings) {
  WriteFile(ruvIni(),
            "[ustawienia]\r\n"
            "proponuj_aktualizacje=tak\r\n"
            "proponuj_aktualizacje_co_ile=0x10\r\n"
            "czy_zapis_inf_o_aktualizacji=2\r\n"
            "mozliwosc_aktualizowania_z_pliku=Tak\r\n"
            "tryb_ftp=a\r\n"
            "proponuj_kopie=Nie\r\n"
            "wymuszaj_kopie=Tak\r\n"
            "katalog_kopii=  /kopie/" + kZazolc1250 + "/  \r\n"
            "usuwac_starsze_kopie=Tak\r\n"
            "[opcje]\r\n"
            "log_max_linii=50000\r\n");
  EXPECT_TRUE(Open([&](TEkruv_par& s) {
    EXPECT_EQ(s.PageControl1->currentIndex(), 1);
    EXPECT_FALSE(s.CheckBox1->isChecked());  // "tak" is not "Tak"
    EXPECT_EQ(s.Edit8->text(), "16");
    EXPECT_TRUE(s.CheckBox6->isChecked());
    EXPECT_TRUE(s.RadioButton2->isChecked());
    EXPECT_EQ(s.RadioGroup1->ItemIndex(), 1);  // only "A" is active
    EXPECT_FALSE(s.CheckBox2->isChecked());
    EXPECT_FALSE(s.CheckBox3->isChecked());  // not read while proposals are off
    EXPECT_EQ(s.Edit9->text(), "5");
    EXPECT_FALSE(s.CheckBox5->isChecked());
    EXPECT_EQ(s.Edit10->text(), "/kopie/Zażółć gęślą jaźń/");
    EXPECT_TRUE(s.CheckBox4->isChecked());
    EXPECT_EQ(s.Edit5->text(), "3650");
    EXPECT_EQ(s.RadioGroup2->ItemIndex(), 2);
    EXPECT_TRUE(QRegularExpression("^data wykonania programu: \\d\\d\\.\\d\\d\\.\\d{4}$")
                    .match(s.Label9->text())
                    .hasMatch())
        << s.Label9->text().toStdString();
    EXPECT_EQ(s.Edit1->text().toStdString(), prog());
    EXPECT_EQ(s.Edit6->text().toStdString(), tree.dir() + "Morta/");
    s.BitBtn8->click();
  }));
}

TEST_F(Settings, SavingWritesEveryKeyAndLeavesTheRestAlone) {
  const std::string ruv =
      "; " + kWspolne1250 + " ustawienia\r\n"
      "[Ustawienia]\r\n"
      "proponuj_aktualizacje=Nie\r\n"
      "obcy=" + kZazolc1250 + "\r\n"
      "proponuj_kopie=Nie\r\n"
      "wymuszaj_kopie=Tak\r\n"
      "\r\n"
      "[opcje]\r\n"
      "log_max_linii=20000\r\n"
      "inna_opcja=1\r\n"
      "[aktualizacje]\r\n"
      "Tamir=01.02.2024\r\n"
      "[obca]\r\n"
      "x=" + kZazolc1250 + "\r\n";
  WriteFile(ruvIni(), ruv);
  EXPECT_TRUE(Open(
      [&](TEkruv_par& s) {
        EXPECT_EQ(s.RadioGroup2->ItemIndex(), 0);  // 20000 shows "5 000"
        s.CheckBox1->setChecked(true);
        s.Edit8->setText("abc");
        s.CheckBox6->setChecked(true);
        s.RadioButton2->setChecked(true);
        s.RadioGroup1->SetItemIndex(1);
        s.CheckBox2->setChecked(false);
        s.CheckBox3->setChecked(true);
        s.Edit9->setText(" 7 ");
        s.CheckBox4->setChecked(true);
        s.Edit5->setText("");
        s.CheckBox5->setChecked(true);
        s.Edit10->setText("  /kopie/  ");
        s.Edit1->setText(" /dane/Łódź/ ");
        s.Edit2->setText("");
        s.Edit6->setText("/m/");
        s.BitBtn7->click();
      },
      {Message("Informacja", "I",
               "Kopia bez danych osobowych wykonana zostanie tylko jednorazowo - po wykonaniu kopii opcja zostanie "
               "usunięta. ",
               {"Dalej"})}));
  EXPECT_EQ(ReadFile(ruvIni()),
            "; " + kWspolne1250 + " ustawienia\r\n"
            "[Ustawienia]\r\n"
            "proponuj_aktualizacje=Tak\r\n"
            "obcy=" + kZazolc1250 + "\r\n"
            "proponuj_kopie=Nie\r\n"
            "wymuszaj_kopie=Nie\r\n"
            "proponuj_aktualizacje_co_ile=30\r\n"
            "czy_zapis_inf_o_aktualizacji=1\r\n"
            "mozliwosc_aktualizowania_z_pliku=Tak\r\n"
            "tryb_ftp=P\r\n"
            "proponuj_kopie_co_ile=7\r\n"
            "usuwac_starsze_kopie=Tak\r\n"
            "usuwac_starsze_kopie_ile_dni=3650\r\n"
            "proponuj_kopie_bez_danych_osobowych=1\r\n"
            "katalog_kopii=/kopie/\r\n"
            "\r\n"
            "[opcje]\r\n"
            "log_max_linii=5000\r\n"
            "inna_opcja=1\r\n"
            "[aktualizacje]\r\n"
            "Tamir=01.02.2024\r\n"
            "[obca]\r\n"
            "x=" + kZazolc1250 + "\r\n");
  const std::string admin = ReadFile(adminIni());
  EXPECT_NE(admin.find("ruv_tamir=/dane/\xA3\xF3" "d\x9F/\r\nruv_gorvalo=\r\nruv_sl=" + prog() + "\r\n"),
            std::string::npos)
      << admin;
  EXPECT_NE(admin.find("\r\nmorta=/m/\r\n"), std::string::npos) << admin;
}

TEST_F(Settings, LogLimitsAndSwitches) {
  struct Case {
    int logItem;
    const char* log;
    bool proposals, forced;
    const char* proponuj, *wymuszaj;
    int ftpItem;
    const char* ftp;
  } cases[] = {
      {1, "10000", true, true, "Tak", "Tak", 0, "A"},
      {2, "50000", true, false, "Tak", "Nie", 1, "P"},
      {3, "99999", false, false, "Nie", "Nie", 0, "A"},
      {-1, nullptr, false, true, "Nie", "Nie", 1, "P"},
  };
  for (const auto& c : cases) {
    WriteFile(ruvIni(), "");
    EXPECT_TRUE(Open([&](TEkruv_par& s) {
      s.RadioGroup2->SetItemIndex(c.logItem);
      s.CheckBox2->setChecked(c.proposals);
      s.CheckBox3->setChecked(c.forced);
      s.RadioGroup1->SetItemIndex(c.ftpItem);
      s.BitBtn7->click();
    }));
    TIniFile ini(ruvIni());
    EXPECT_EQ(ini.ReadString("opcje", "log_max_linii", "none"), c.log ? c.log : "none") << c.logItem;
    EXPECT_EQ(ini.ReadString("ustawienia", "proponuj_kopie", ""), c.proponuj);
    EXPECT_EQ(ini.ReadString("ustawienia", "wymuszaj_kopie", ""), c.wymuszaj);
    EXPECT_EQ(ini.ReadString("ustawienia", "tryb_ftp", ""), c.ftp);
  }
}

TEST_F(Settings, CloseLeavesBothFilesAsTheyWere) {
  WriteFile(ruvIni(), "[ustawienia]\r\ntryb_ftp=P\r\n");
  const std::string admin = ReadFile(adminIni());
  std::filesystem::create_directories(tree.dir() + "dane");
  WriteFile(tree.dir() + "dane/osoby.dbf", "x");
  EXPECT_TRUE(Open(
      [&](TEkruv_par& s) {
        s.RadioGroup1->SetItemIndex(0);
        s.Edit3->setText("/inny/");
        s.BitBtn1->click();  // a directory chosen through the search window
        EXPECT_EQ(s.Edit1->text().toStdString(), tree.dir() + "dane/");
        s.BitBtn8->click();
      },
      {Search(" Katalog programu \"RUV - Tamir\" ", [&](TEkSzukaj& z) {
        z.Edit1->setText(QString::fromStdString(tree.dir() + "dane"));
        z.BitBtn2->click();
      })}));
  EXPECT_EQ(ReadFile(ruvIni()), "[ustawienia]\r\ntryb_ftp=P\r\n");
  EXPECT_EQ(ReadFile(adminIni()), admin);
}

TEST_F(Settings, DirectoriesAreChosenThroughTheSearchWindow) {
  const std::string d = tree.dir();
  WriteFile(d + "morta_dane/MORTANCI.DBF", "x");
  EXPECT_TRUE(Open(
      [&](TEkruv_par& s) {
        s.BitBtn6->click();   // Morta: accepted, "/" added
        s.BitBtn9->click();   // Kelpiro: cancelled, the field stays
        s.BitBtn11->click();  // backup directory: any text
        s.BitBtn4->click();   // Dravon: the root, one "/" only
        EXPECT_EQ(s.Edit6->text().toStdString(), d + "morta_dane/");
        EXPECT_EQ(s.Edit7->text().toStdString(), prog());
        EXPECT_EQ(s.Edit10->text().toStdString(), "/jeszcze/nie/ma/");
        EXPECT_EQ(s.Edit4->text().toStdString(), "/");
        s.BitBtn8->click();
      },
      {Search(" Katalog programu \"MORTA - Velden\" ",
              [&](TEkSzukaj& z) {
                EXPECT_EQ(z.Edit1->text(), "");
                EXPECT_EQ(z.Label1->text(), "Label1");
                z.Edit1->setText(QString::fromStdString(d + "morta_dane   "));
                z.BitBtn2->click();
              }),
       Search(" Katalog programu \"RUV - Kelpiro\" ",
              [&](TEkSzukaj& z) {
                z.Edit1->setText(QString::fromStdString(d + "morta_dane"));
                z.BitBtn1->click();
              }),
       Search("Katalog dla kopii bezpieczeństwa plików danych",
              [&](TEkSzukaj& z) {
                EXPECT_EQ(z.Label1->text(), "katalog_kopii");
                z.Edit1->setText(" /jeszcze/nie/ma ");
                z.BitBtn2->click();
              }),
       Search(" Katalog programu \"RUV - Dravon i Pelk\" ", [&](TEkSzukaj& z) {
         z.Label1->setText("katalog_kopii");
         z.Edit1->setText("/");
         z.BitBtn2->click();
       })}));
}

TEST_F(Settings, ErasingTheDirectorySettingsAsksFirst) {
  const std::string before = ReadFile(adminIni());
  ASSERT_NE(before.find("[katalogi]"), std::string::npos);
  const auto question = [](int button) {
    return Message("Potwierdzenie", "?", "Potwierdź usunięcie informacji o katalogach.", {"Nie", "Tak"}, button);
  };
  // "Nie": the window closes, nothing is erased or saved.
  EXPECT_TRUE(Open(
      [&](TEkruv_par& s) {
        s.Edit1->setText("/inny/");
        s.BitBtn5->click();
      },
      {question(1)}));
  EXPECT_EQ(ReadFile(adminIni()), before);
  // "Tak": the section is gone; the buttons are refreshed with the defaults.
  Install(prog(), "Ruv_SL.exe", "ruv_inst.dbf");
  EXPECT_TRUE(Open([&](TEkruv_par& s) { s.BitBtn5->click(); }, {question(2)}));
  EXPECT_FALSE(TIniFile(adminIni()).SectionExists("katalogi"));
  EXPECT_TRUE(main->BitBtn1->isEnabled());
}

TEST_F(Settings, ADirectoryTheFilesCannotHoldIsRefused) {
  const std::string admin = ReadFile(adminIni());
  EXPECT_TRUE(Open(
      [&](TEkruv_par& s) {
        s.CheckBox1->setChecked(false);
        s.Edit3->setText("/dane/用户/");
        s.BitBtn7->click();
        EXPECT_TRUE(s.isVisible());
        s.BitBtn8->click();
      },
      {Message("Błąd", "H",
               "Nazwy katalogu /dane/用户/ nie można zapisać w ustawieniach: zawiera znaki spoza polskiej strony "
               "kodowej Windows.",
               {"Popraw"})}));
  EXPECT_FALSE(testutil::FileExists(ruvIni()));
  EXPECT_EQ(ReadFile(adminIni()), admin);
}

class DirectorySearch : public testutil::ProgramTree {
 protected:
  // Shows the window and lets `answer` work in it; returns Edit1 as the
  // caller takes it.
  std::string Choose(const std::function<void(TEkSzukaj&)>& answer, std::vector<ruvtest::Dialog> more = {}) {
    ruvtest::DialogScript script;
    script.Expect(ruvtest::Dialog().Caption("Wybór folderu z plikami programów dla RUV").Answer([answer](QWidget& w) {
      answer(static_cast<TEkSzukaj&>(w));
    }));
    for (auto& d : more) script.Expect(std::move(d));
    std::string result;
    EXPECT_TRUE(script.Run([&] {
      TEkSzukaj search;
      search.exec();
      result = TrimBoth(search.Edit1->text().toStdString());
    }));
    return result;
  }
};

TEST_F(DirectorySearch, AcceptsAProgramsDataDirectory) {
  const std::string d = tree.dir();
  WriteFile(d + "a/Osoby.dbf", "x");
  WriteFile(d + "b/osoby.DBF", "x");
  WriteFile(d + "c/MORTANCI.dbf", "x");
  for (const std::string& dir : {d + "a", d + "b/", d + "c", d + "c   "}) {
    EXPECT_EQ(Choose([&](TEkSzukaj& z) {
                z.Edit1->setText(QString::fromStdString(dir));
                z.BitBtn2->click();
              }),
              TrimBoth(dir));
  }
}

TEST_F(DirectorySearch, RefusesAnotherDirectory) {
  const std::string d = tree.dir();
  WriteFile(d + "inny/osoby.dbt", "x");
  WriteFile(d + "inny/Osoby.dbf/x", "a directory, not the table");
  for (const std::string& dir : {d + "inny", d + "brak", std::string(), "  " + d + "inny"}) {
    EXPECT_EQ(Choose(
                  [&](TEkSzukaj& z) {
                    z.Edit1->setText(QString::fromStdString(dir));
                    z.BitBtn2->click();
                    EXPECT_TRUE(z.isVisible());
                    EXPECT_EQ(z.Edit1->text().toStdString(), dir);
                    z.BitBtn1->click();
                  },
                  {Message("Informacja", "I", "Nieprawidłowy katalog !", {"Popraw"})}),
              "")
        << dir;
  }
}

TEST_F(DirectorySearch, ClosingByTheSystemKeepsTheText) {
  EXPECT_EQ(Choose([&](TEkSzukaj& z) {
              z.Edit1->setText("/nie/sprawdzony");
              z.close();
            }),
            "/nie/sprawdzony");
}

TEST_F(DirectorySearch, FolderBrowsers) {
  const std::string d = tree.dir();
  std::filesystem::create_directories(d + "wybrany");
  const auto browser = [](const std::string& root, const std::string& choose) {
    return ruvtest::Dialog().Caption("Wybór katalogu :").Answer([root, choose](QWidget& w) {
      auto& fd = static_cast<QFileDialog&>(w);
      EXPECT_EQ(fd.directory().absolutePath().toStdString(), root);
      EXPECT_EQ(fd.fileMode(), QFileDialog::Directory);
      if (choose.empty()) {
        fd.reject();
        return;
      }
      fd.setDirectory(QString::fromStdString(choose));
      static_cast<QDialog&>(fd).accept();
    });
  };
  std::string seen;
  Choose(
      [&](TEkSzukaj& z) {
        z.BitBtn3->click();
        seen = z.Edit1->text().toStdString();
        z.BitBtn4->click();  // cancelled: the text stays
        EXPECT_EQ(z.Edit1->text().toStdString(), seen);
        z.BitBtn1->click();
      },
      {browser("/", d + "wybrany"), browser(NetworkRoot(), "")});
  EXPECT_EQ(seen, d + "wybrany");
  EXPECT_EQ(NetworkRoot(), plat::IsDirectory("/run/user/" + std::to_string(::getuid()) + "/gvfs")
                               ? "/run/user/" + std::to_string(::getuid()) + "/gvfs"
                               : "/mnt");
}

}  // namespace
