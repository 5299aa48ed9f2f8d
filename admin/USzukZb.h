// The directory search window: the user types a directory or picks one in
// the folder browser, and a program directory is accepted only when it
// holds a sibling program's data. The caller sets the caption (and the
// marker for the backup directory), shows the window modally and then
// takes Edit1's text, trimmed; empty means nothing was chosen.
#pragma once
#include <QDialog>

#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

class TEkSzukaj : public QDialog {
  Q_OBJECT

 public:
  explicit TEkSzukaj(QWidget* parent = nullptr);

  // The marker caption that makes the window accept any directory.
  static constexpr const char* kBackupDirMarker = "katalog_kopii";

  QLabel* Label2;
  QLineEdit* Edit1;
  QPushButton* BitBtn3;  // "Mój komputer"
  QPushButton* BitBtn4;  // "Otoczenie sieciowe"
  QPushButton* BitBtn2;  // "Zatwierdź"
  QPushButton* BitBtn1;  // "Anuluj"
  QLabel* Label1;        // hidden marker

  void BitBtn3Click();
  void BitBtn4Click();
  void BitBtn2Click();
  void BitBtn1Click();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // The folder browser (a modal directory chooser) starting at `root`; on a
  // choice Edit1 gets the chosen path.
  void BrowseFrom(const std::string& root);
};

// Where the folder browser starts for "Otoczenie sieciowe": the place this
// system mounts network shares, the user's GVFS folder when it exists,
// else "/mnt".
std::string NetworkRoot();
// True when the directory holds "Mortanci.dbf" or "Osoby.dbf" (any letter
// case): the data of one of the sibling programs.
bool HoldsProgramData(const std::string& dir);
