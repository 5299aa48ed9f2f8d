// The backup window: dated ZIP backups of the family's data (the program
// directory) and of program Morta's data, optionally uploaded to the
// backup server, the deletion of backups older than the set number of
// days, and the date of the last backup for the backup proposal.
//
// A run works synchronously on the window thread and keeps the window
// painted by pumping pending events; closing the window is ignored until
// the run ends.
#pragma once
#include <QDialog>

#include <string>

#include "admin/FtpComponent.h"
#include "admin/ZipComponent.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTextEdit;
class TEkr_Ruv;

// The name of a backup made on a date: "yyyy_mm_dd_Admin_kopia_danych" +
// suffix ("_ruv.zip" for the family, "_morta.zip" for program Morta).
std::string BackupArchiveName(int year, int month, int day, const char* suffix);

// The old-backup deletion: erases the "*.zip" files of `dir` whose names
// begin with a date ("yyyy_mm_dd") more than `days` days before today's
// engine date; other names are never touched. Returns the number of files
// really erased (a file that cannot be erased is left and not counted). A
// missing directory erases nothing. The engine's automatic error handling
// is off during the erasures and back as it was afterwards.
int DeleteOldBackups(const std::string& dir, int days);

class TEk_Adm_kopia : public QDialog {
  Q_OBJECT

 public:
  // The owner's launch buttons tell which programs are installed.
  explicit TEk_Adm_kopia(TEkr_Ruv& owner);
  ~TEk_Adm_kopia() override;

  QTextEdit* RichEdit1;      // the run's log
  QLabel* Biezacyplik;       // the file being compressed
  QProgressBar* ProgressBar1;
  QPushButton* BitBtnKopia;  // "Twórz kopię"
  QPushButton* BitBtn8;      // "Zamknij"
  QCheckBox* CheckBox1;      // upload to the server
  QCheckBox* CheckBox2;      // leave the documents directory out
  QLabel* Label1;            // hidden; "T" = forced backup
  TZipMaster19 ZipMaster191;
  TIdFTP IdFTP1;

  // One backup run.
  void BitBtnKopiaClick();
  void ZipMaster191Progress(const TZipProgressDetails& details);
  void ZipMaster191Message(int errCode, const std::string& message);

  // True while a run works.
  bool Running() const { return running_; }

 protected:
  bool event(QEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void done(int r) override;

 private:
  void FormCreate();
  void FormShow();
  void FormActivate();
  void FormClose();
  void Run();
  void Log(const std::string& line);
  // The backup directory for archives of `source`, created when needed;
  // "" (after telling the user) when there is none.
  std::string ChooseBackupDir(const std::string& source, const std::string& configured);
  bool ProgramInstalled(int siblingIndex) const;

  TEkr_Ruv& owner_;
  bool running_ = false;
  bool activated_ = false;  // a forced backup starts once per showing
  bool closed_ = false;
};
