// The backup list window: the ZIP archives of one backup directory in a
// check-list; the checked ones are deleted. The main window's hidden kind
// label says which backups: "B" for the family's, anything else for
// program Morta's. The directory comes from the same settings as the
// backup window's, and is never created here.
#pragma once
#include <QDialog>

#include <string>

class QLabel;
class QListWidget;
class QPushButton;
class TEkr_Ruv;

class TAdm_Ek_lista_kopii : public QDialog {
  Q_OBJECT

 public:
  explicit TAdm_Ek_lista_kopii(TEkr_Ruv& owner);

  QLabel* Label1;              // the backup directory, "" when it does not exist
  QListWidget* CheckListBox1;  // one checkable line per archive, by name
  QPushButton* BitBtn1;        // "Usuń zaznaczone"
  QPushButton* BitBtn2;        // "Zamknij"

  // Deletes the checked archives, without a question.
  void BitBtn1Click();

  // The listed directory with its trailing "/", "" when there is none.
  const std::string& Directory() const { return dir_; }

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  void FormCreate();
  void FormShow();

  TEkr_Ruv& owner_;
  std::string dir_;
};
