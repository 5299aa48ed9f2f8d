// The update window: the report of when each installed sibling program was
// last updated, the check of the update server for newer update archives,
// their download and installation, and the update from a package file. Created once at program start and
// kept for the whole run; the main window shows it modally.
#pragma once
#include <QDialog>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "admin/FtpComponent.h"
#include "admin/ZipComponent.h"

class QPlainTextEdit;
class QPushButton;
class TTzDbf;
struct TSiblingProgram;

class TAdm_ftp : public QDialog {
  Q_OBJECT

 public:
  // Which sibling programs are installed: the main window answers from its
  // launch buttons' enabled state.
  using InstalledQuery = std::function<bool(const TSiblingProgram&)>;

  explicit TAdm_ftp(QWidget* parent = nullptr);
  ~TAdm_ftp() override;

  void SetInstalledQuery(InstalledQuery query) { installed_ = std::move(query); }
  // The main window's installation tables, which the download reads the
  // user's name and town from. Not owned; they outlive the window.
  void SetInstallationTables(TTzDbf* ruvInst, TTzDbf* mrtInst) {
    ruvInst_ = ruvInst;
    mrtInst_ = mrtInst;
  }

  QPlainTextEdit* Memo1;  // the report and the logs
  QPushButton* Button1;   // "Sprawdź dostępność aktualizacji w internecie"
  QPushButton* Button2;   // "Aktualizacja z pliku"
  QPushButton* BitBtn8;   // "Zamknij"

  TIdFTP IdFTP1;  // the update server's account unless a test points it elsewhere
  TZipMaster19 ZipMaster191;

  // Lines of Memo1 when the latest download step began; the progress text
  // goes into line ProgressLine + 1 (counted from 0).
  int32_t ProgressLine = 0;
  // Size of the archive being transferred, −1 when the server gave none.
  int64_t TransferSize = -1;
  // Per sibling, in the standard order (kSiblings): the date text of its
  // update archive on the server, and whether it is installed and that
  // archive is newer than its last installed update. As the latest check
  // left them.
  std::array<std::string, 6> ServerDate;
  std::array<bool, 6> Newer{};

  // The report of the update dates; sets Button1 and Button2 from the
  // setting. Runs at every showing.
  void FormShow();
  // The update check against the server; runs the download when the user
  // takes the updates it offers.
  void Button1Click();
  // The download and installation of the archives the latest check found
  // newer (Newer, ServerDate): each into its program's directory, the
  // download record appended to the server's log, every archive unpacked
  // and its program's date stored. Raises what fails before the unpacking
  // (the connection, a transfer, the download record, an installation
  // table) after closing the connection and the tables and giving the
  // window its close button back; nothing is unpacked and no date written
  // then.
  void Button3Click();
  // The update from a package file.
  void Button2Click();
  // The FTP component's events, written as lines of Memo1.
  void IdFTP1Status(TIdStatus AStatus);
  void IdFTP1Work(TWorkMode AWorkMode, int64_t AWorkCount);

  // Memo1's lines (for the handlers above and their tests).
  QStringList Lines() const;

 protected:
  void showEvent(QShowEvent* event) override;
  void reject() override;
  void closeEvent(QCloseEvent* event) override;

 private:
  bool Installed(const TSiblingProgram& p) const { return installed_ && installed_(p); }
  // Appends a line and paints it at once: the work runs on the window
  // thread, so nothing else would paint until it ends.
  void AddLine(const std::string& line);
  int LineCount() const;
  void SetLogFont(bool wrap);

  // While a check or a package update runs, closing the window waits.
  class BusyScope;

  InstalledQuery installed_;
  TTzDbf* ruvInst_ = nullptr;
  TTzDbf* mrtInst_ = nullptr;
  bool busy_ = false;
  std::string zipError_;  // the ZIP library's first error of a package update
};

// The update window of the run (created at program start).
extern TAdm_ftp* Adm_ftp;
