#include "admin/Adm_Ekr_lista_kopii.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include <memory>
#include <vector>

#include "admin/AdmUi.h"
#include "admin/Adm_EkRuv.h"
#include "admin/IniFiles.h"
#include "admin/Siblings.h"
#include "platform/pfile.h"
#include "platform/pfs.h"
#include "tablebase/tzcommon.h"
#include "tablebase_ui/tzdialog.h"
#include "tablebase/tzutils.h"

TAdm_Ek_lista_kopii::TAdm_Ek_lista_kopii(TEkr_Ruv& owner) : QDialog(&owner), owner_(owner) {
  SetUpDialog(*this, "Adm_Ek_lista_kopii", "Lista wykonanych kopii", 440, 400);

  Label1 = Place<QLabel>(this, "Label1", 8, 8, 424, 17, "katalog");
  CheckListBox1 = Place<QListWidget>(this, "CheckListBox1", 8, 30, 424, 318);
  CheckListBox1->setSortingEnabled(true);
  BitBtn1 = Place<QPushButton>(this, "BitBtn1", 8, 360, 150, 29, "Usuń zaznaczone");
  BitBtn2 = Place<QPushButton>(this, "BitBtn2", 322, 360, 110, 29, "Zamknij");
  connect(BitBtn1, &QPushButton::clicked, this, &TAdm_Ek_lista_kopii::BitBtn1Click);
  connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
  FormCreate();
}

void TAdm_Ek_lista_kopii::FormCreate() {
  SetCentury();
  SetDate(4);
  std::string configured;
  {
    TIniFile ruv = OpenIni(TIniKind::Ruv);
    configured = ReadSetting(ruv, Keys::KatalogKopii);
  }
  std::string source = ProgramDir();
  if (StdStr(owner_.Label1->text()) != "B" && owner_.ProgramButton(kMorta)->isEnabled()) {
    TIniFile admin = OpenIni(TIniKind::Admin);
    source = ReadProgramDir(admin, kMorta);
  }
  // Without a source there is nothing to list: an empty list under an
  // empty directory label, as for a missing directory.
  std::string dir;
  if (!configured.empty())
    dir = DirPath(configured);
  else if (!TrimBoth(source).empty())
    dir = DirPath(source) + "Kopia/";
  dir_.clear();
  Label1->setText("");
  if (dir.empty() || !plat::IsDirectory(plat::ResolvePath(dir))) return;
  dir_ = DirPath(plat::ResolvePath(dir));
  Label1->setText(QStr(dir_.size() > 1 ? dir_.substr(0, dir_.size() - 1) : dir_));
}

void TAdm_Ek_lista_kopii::showEvent(QShowEvent* e) {
  FormShow();
  QDialog::showEvent(e);
}

void TAdm_Ek_lista_kopii::FormShow() {
  CheckListBox1->clear();
  if (dir_.empty()) return;
  std::vector<plat::FindData> found;
  if (plat::FindFiles(dir_ + "*.zip", 0, found) != plat::kOk) return;
  for (const plat::FindData& f : found) {
    auto* item = new QListWidgetItem(QStr(f.name), CheckListBox1);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
  }
}

void TAdm_Ek_lista_kopii::BitBtn1Click() {
  int count = 0;
  for (int i = CheckListBox1->count() - 1; i >= 0; --i) {
    QListWidgetItem* item = CheckListBox1->item(i);
    if (item->checkState() != Qt::Checked) continue;
    const std::string name = StdStr(item->text());
    const std::string path = dir_.empty() ? name : dir_ + name;
    if (FileExists(path)) {
      // A file that cannot be erased ends the deletion there, with a
      // message, instead of ending the program; the lines after it stay.
      AutoErrorHandlingScope quiet(false);
      EraseFiles(path);
      if (LastErrorCode() != 0) {
        ShowMessageDialog("Błąd", "h", "Nie można usunąć pliku: " + path, "Zakończ");
        break;
      }
      ++count;
    }
    std::unique_ptr<QListWidgetItem>(CheckListBox1->takeItem(i));
  }
  if (count > 0)
    ShowMessageDialog("Informacja", "i", "Liczba usuniętych kopii : " + std::to_string(count), "Zakończ");
}
