// The backup list window: which directory each kind lists, and deleting
// exactly the checked archives.
#include <QLabel>
#include <QListWidget>

#include "admin/Adm_Ekr_lista_kopii.h"
#include "backup_tree.h"
#include "platform/pfile.h"

namespace {

using namespace testutil;

class BackupList : public BackupTree {
 protected:
  std::vector<std::string> Lines(const TAdm_Ek_lista_kopii& w) {
    std::vector<std::string> out;
    for (int i = 0; i < w.CheckListBox1->count(); ++i) out.push_back(w.CheckListBox1->item(i)->text().toStdString());
    return out;
  }
  // The window as the main window's menu item shows it.
  std::unique_ptr<TAdm_Ek_lista_kopii> Open(TEkr_Ruv& main, const char* kind) {
    main.Label1->setText(kind);
    auto w = std::make_unique<TAdm_Ek_lista_kopii>(main);
    w->show();
    return w;
  }
  static void Check(TAdm_Ek_lista_kopii& w, const std::string& name) {
    auto found = w.CheckListBox1->findItems(QString::fromStdString(name), Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1);
    found.front()->setCheckState(Qt::Checked);
  }
};

TEST_F(BackupList, EachKindListsItsOwnKopiaSortedByName) {
  InstallTamir();
  InstallMorta();
  for (const char* n : {"2011_03_05_Admin_kopia_danych_ruv.zip", "2010_01_01_Admin_kopia_danych_ruv.ZIP", "x.txt"})
    WriteFile(prog() + "Kopia/" + n, "x");
  WriteFile(morta() + "Kopia/2011_03_05_Admin_kopia_danych_morta.zip", "x");
  auto main = MainWindow();
  auto family = Open(*main, "B");
  EXPECT_EQ(family->Label1->text().toStdString(), prog() + "Kopia");
  EXPECT_EQ(Lines(*family), (std::vector<std::string>{"2010_01_01_Admin_kopia_danych_ruv.ZIP",
                                                      "2011_03_05_Admin_kopia_danych_ruv.zip"}));
  auto courses = Open(*main, "K");
  EXPECT_EQ(courses->Label1->text().toStdString(), morta() + "Kopia");
  EXPECT_EQ(Lines(*courses), (std::vector<std::string>{"2011_03_05_Admin_kopia_danych_morta.zip"}));
}

TEST_F(BackupList, MortaWithoutItsDirectoryKeyListsTheDefaultDirectory) {
  InstallTamir();
  InstallMorta();
  WriteFile(morta() + "Kopia/2011_03_05_Admin_kopia_danych_morta.zip", "x");
  auto main = MainWindow();
  DropMortaKey();
  auto courses = Open(*main, "K");
  EXPECT_EQ(courses->Label1->text().toStdString(), morta() + "Kopia");
  EXPECT_EQ(Lines(*courses), (std::vector<std::string>{"2011_03_05_Admin_kopia_danych_morta.zip"}));
}

TEST_F(BackupList, ConfiguredDirectoryServesBothKinds) {
  InstallTamir();
  InstallMorta();
  WriteFile(tree.dir() + "kopie/2011_03_05_Admin_kopia_danych_ruv.zip", "x");
  WriteFile(tree.dir() + "kopie/2011_03_05_Admin_kopia_danych_morta.zip", "x");
  WriteFile(ruvIni(), "[ustawienia]\r\nkatalog_kopii=" + tree.dir() + "kopie\\\r\n");
  auto main = MainWindow();
  for (const char* kind : {"B", "K"}) {
    auto w = Open(*main, kind);
    EXPECT_EQ(Lines(*w), (std::vector<std::string>{"2011_03_05_Admin_kopia_danych_morta.zip",
                                                   "2011_03_05_Admin_kopia_danych_ruv.zip"}));
  }
}

TEST_F(BackupList, MissingDirectoryShowsNothing) {
  InstallTamir();
  auto main = MainWindow();
  // Morta is not installed: kind "K" falls back to the program directory.
  for (const char* kind : {"B", "K"}) {
    auto w = Open(*main, kind);
    EXPECT_EQ(w->Label1->text().toStdString(), "");
    EXPECT_EQ(w->CheckListBox1->count(), 0);
    ruvtest::DialogScript none;
    EXPECT_TRUE(none.Run([&] { w->BitBtn1->click(); }));
  }
}

TEST_F(BackupList, DeletesExactlyTheCheckedArchives) {
  InstallTamir();
  const std::string dir = prog() + "Kopia/";
  for (const char* n : {"2011_01_01_a.zip", "2011_01_02_b.zip", "2011_01_03_c.zip", "2011_01_04_d.zip",
                        "2011_01_05_e.zip"})
    WriteFile(dir + n, "x");
  auto main = MainWindow();
  auto w = Open(*main, "B");
  {
    ruvtest::DialogScript none;  // nothing checked: nothing happens
    EXPECT_TRUE(none.Run([&] { w->BitBtn1->click(); }));
    EXPECT_EQ(w->CheckListBox1->count(), 5);
  }
  for (const char* n : {"2011_01_01_a.zip", "2011_01_03_c.zip", "2011_01_05_e.zip"}) Check(*w, n);
  ruvtest::DialogScript script;
  script.Expect(Message("Informacja", "I", "Liczba usuniętych kopii : 3", {"Zakończ"}));
  EXPECT_TRUE(script.Run([&] { w->BitBtn1->click(); }));
  EXPECT_EQ(Lines(*w), (std::vector<std::string>{"2011_01_02_b.zip", "2011_01_04_d.zip"}));
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"2011_01_02_b.zip", "2011_01_04_d.zip"}));
}

TEST_F(BackupList, VanishedFileIsDroppedUncounted) {
  InstallTamir();
  const std::string dir = prog() + "Kopia/";
  WriteFile(dir + "2011_01_01_a.zip", "x");
  WriteFile(dir + "2011_01_02_b.zip", "x");
  auto main = MainWindow();
  auto w = Open(*main, "B");
  Check(*w, "2011_01_01_a.zip");
  Check(*w, "2011_01_02_b.zip");
  std::filesystem::remove(dir + "2011_01_01_a.zip");
  ruvtest::DialogScript script;
  script.Expect(Message("Informacja", "I", "Liczba usuniętych kopii : 1", {"Zakończ"}));
  EXPECT_TRUE(script.Run([&] { w->BitBtn1->click(); }));
  EXPECT_EQ(w->CheckListBox1->count(), 0);
}

TEST_F(BackupList, ArchiveThatCannotBeErasedEndsTheDeletionThere) {
  InstallTamir();
  const std::string dir = prog() + "Kopia/";
  for (const char* n : {"2011_01_01_a.zip", "2011_01_02_b.zip", "2011_01_03_c.zip"}) WriteFile(dir + n, "x");
  plat::File held;
  ASSERT_EQ(held.Open(dir + "2011_01_02_b.zip", plat::kAccessRead | plat::kShareDenyAll), 0);
  auto main = MainWindow();
  auto w = Open(*main, "B");
  for (const char* n : {"2011_01_01_a.zip", "2011_01_02_b.zip", "2011_01_03_c.zip"}) Check(*w, n);
  ruvtest::DialogScript script;
  script.Expect(Message("Błąd", "H", "Nie można usunąć pliku: " + dir + "2011_01_02_b.zip", {"Zakończ"}));
  script.Expect(Message("Informacja", "I", "Liczba usuniętych kopii : 1", {"Zakończ"}));
  EXPECT_TRUE(script.Run([&] { w->BitBtn1->click(); }));
  // Walked from the last line: c went, b stayed, a was not reached.
  EXPECT_EQ(Lines(*w), (std::vector<std::string>{"2011_01_01_a.zip", "2011_01_02_b.zip"}));
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"2011_01_01_a.zip", "2011_01_02_b.zip"}));
  EXPECT_TRUE(Engine().err.AutoErrorHandling);
}

TEST_F(BackupList, MenuItemsOpenTheListOfTheirKind) {
  InstallTamir();
  WriteFile(prog() + "Kopia/2011_01_01_a.zip", "x");
  auto main = MainWindow();
  for (auto [item, kind] : {std::pair{main->Listawykonanychkopiiprogramydlaruv1, "B"},
                            std::pair{main->ListawykonanychkopiiprogramMorta1, "K"}}) {
    int lines = -1;
    ruvtest::DialogScript script;
    script.Expect(ruvtest::Dialog()
                      .Caption("Lista wykonanych kopii")
                      .Check([&](QWidget& w) { lines = dynamic_cast<TAdm_Ek_lista_kopii&>(w).CheckListBox1->count(); })
                      .Click("BitBtn2"));
    EXPECT_TRUE(script.Run([&] { item->trigger(); }));
    EXPECT_EQ(main->Label1->text().toStdString(), kind);
    EXPECT_EQ(lines, 1);  // Morta not installed: "K" lists the program directory's backups too
  }
}

}  // namespace
