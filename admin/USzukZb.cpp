#include "admin/USzukZb.h"

#include <unistd.h>

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

#include "admin/AdmUi.h"
#include "admin/Siblings.h"
#include "platform/pfs.h"
#include "tablebase_ui/tzdialog.h"

namespace {

bool FileThere(const std::string& path) { return plat::IsRegularFile(plat::ResolvePath(path)); }

std::string RTrimBlanks(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace

std::string NetworkRoot() {
  std::string gvfs = "/run/user/" + std::to_string(::getuid()) + "/gvfs";
  if (plat::IsDirectory(gvfs)) return gvfs;
  return "/mnt";
}

bool HoldsProgramData(const std::string& dir) {
  // An empty text names no directory (never the current one).
  if (dir.empty()) return false;
  std::string d = DirPath(dir);
  return FileThere(d + "Mortanci.dbf") || FileThere(d + "Osoby.dbf");
}

TEkSzukaj::TEkSzukaj(QWidget* parent) : QDialog(parent) {
  SetUpDialog(*this, "EkSzukaj", "Wybór folderu z plikami programów dla RUV", 433, 137);
  Label2 = Place<QLabel>(this, "Label2", 12, 10, 200, 17, "Ostatnia lokalizacja:");
  Edit1 = Place<QLineEdit>(this, "Edit1", 12, 30, 409, 23);
  BitBtn3 = Place<QPushButton>(this, "BitBtn3", 12, 62, 140, 27, "Mój komputer");
  BitBtn4 = Place<QPushButton>(this, "BitBtn4", 160, 62, 140, 27, "Otoczenie sieciowe");
  BitBtn2 = Place<QPushButton>(this, "BitBtn2", 236, 100, 90, 27, "Zatwierdź");
  BitBtn1 = Place<QPushButton>(this, "BitBtn1", 331, 100, 90, 27, "Anuluj");
  Label1 = Place<QLabel>(this, "Label1", 12, 104, 60, 17, "Label1");
  Label1->setTextFormat(Qt::PlainText);
  Label1->hide();
  for (QPushButton* b : {BitBtn3, BitBtn4, BitBtn2, BitBtn1}) b->setAutoDefault(false);
  connect(BitBtn3, &QPushButton::clicked, this, &TEkSzukaj::BitBtn3Click);
  connect(BitBtn4, &QPushButton::clicked, this, &TEkSzukaj::BitBtn4Click);
  connect(BitBtn2, &QPushButton::clicked, this, &TEkSzukaj::BitBtn2Click);
  connect(BitBtn1, &QPushButton::clicked, this, &TEkSzukaj::BitBtn1Click);
}

void TEkSzukaj::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  Edit1->clear();
  BitBtn2->setFocus();
}

void TEkSzukaj::BrowseFrom(const std::string& root) {
  // Qt's own chooser, not the desktop's: a window the program owns, which
  // behaves the same everywhere.
  QFileDialog browser(this, "Wybór katalogu :", QStr(root));
  browser.setObjectName("FolderBrowser");
  browser.setFileMode(QFileDialog::Directory);
  browser.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  if (browser.exec() != QDialog::Accepted) return;
  const QStringList chosen = browser.selectedFiles();
  if (chosen.isEmpty() || !plat::IsDirectory(StdStr(chosen.front()))) return;
  Edit1->setText(chosen.front());
}

void TEkSzukaj::BitBtn3Click() { BrowseFrom("/"); }

void TEkSzukaj::BitBtn4Click() { BrowseFrom(NetworkRoot()); }

void TEkSzukaj::BitBtn2Click() {
  if (Label1->text() == kBackupDirMarker) {
    accept();
    return;
  }
  // Trailing blanks are not part of the tested path; leading ones are.
  if (HoldsProgramData(RTrimBlanks(StdStr(Edit1->text())))) {
    accept();
    return;
  }
  ShowMessageDialog("Informacja", "i", "Nieprawidłowy katalog !", "Popraw");
}

void TEkSzukaj::BitBtn1Click() {
  Edit1->clear();
  reject();
}
