// The main window: six launch buttons for the sibling programs, the backup
// and update buttons, the menu, and the window's place on the screen kept
// in "ruv_admin.ini". Every command that works on the sibling programs'
// files first makes sure that none of them runs.
#pragma once
#include <QMainWindow>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "admin/ZipComponent.h"
#include "tables/datasets/utzfds.h"

struct TUnpackFollowUp;

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QMenuBar;
class QPushButton;
struct TSiblingProgram;

class TEkr_Ruv : public QMainWindow {
  Q_OBJECT

 public:
  // Builds the window and runs FormCreate: position, default directories,
  // button states.
  explicit TEkr_Ruv(QWidget* parent = nullptr);

  // The launch buttons in the standard order of the sibling programs.
  QPushButton *BitBtn3, *BitBtn2, *BitBtn1, *BitBtn4, *BitBtn7, *BitBtn6;
  QPushButton* BitBtn9;  // "Wykonaj kopię plików danych"
  QPushButton* BitBtn8;  // "Sprawdź aktualizacje programów"
  QLabel* Label1;        // hidden: the backup kind for the backup list
  QLabel* Label2;        // the foot line

  QMenuBar* MainMenu1;
  QAction* Zakocz1;
  QAction* Parametry1;
  QMenu* Narzdzia1;
  QAction* Usunicieplikwindeksowych1;
  QAction* Odtworzenieplikwdanychzkopiiprogramydlaruv1;
  QAction* OdtworzenieplikwdanychzkopiiprogramMorta1;
  QAction* Listawykonanychkopiiprogramydlaruv1;
  QAction* ListawykonanychkopiiprogramMorta1;
  QAction* Programdoodczytywaniainformacjikadrowych1;

  // Unpacks the restores.
  TZipMaster19 ZipMaster191;

  // Set by the closing handler just before a forced backup.
  bool ForcedBackup = false;

  // The installation tables of the family and of Morta, which the update
  // download reads the user's name and town from: the button refresh points
  // each at the table of the last installed program it found ("ruv_inst.dbf"
  // and "mrt_inst.dbf" until then). Closed between uses.
  TTzDbf Ruv_inst{"Ruv_inst"};
  TTzDbf mrt_inst{"mrt_inst"};

  // The launch button of a sibling program.
  QPushButton* ProgramButton(const TSiblingProgram& p) const;

  void FormCreate();
  void FormActivate();
  void FormClose();
  void FormDblClick();
  void RefreshProgramButtons();

  void BitBtn3Click();
  void BitBtn2Click();
  void BitBtn1Click();
  void BitBtn4Click();
  void BitBtn7Click();
  void BitBtn6Click();
  void Programdoodczytywaniainformacjikadrowych1Click();
  void Parametry1Click();
  void BitBtn8Click();
  void BitBtn9Click();
  void Usunicieplikwindeksowych1Click();
  void Odtworzenieplikwdanychzkopiiprogramydlaruv1Click();
  void OdtworzenieplikwdanychzkopiiprogramMorta1Click();
  void Listawykonanychkopiiprogramydlaruv1Click();
  void ListawykonanychkopiiprogramMorta1Click();
  void Zakocz1Click();

  // The running-program guard: true (after telling the user) when one of
  // the programs runs, and the command must not go on.
  bool ProgramsRunning(const std::vector<const TSiblingProgram*>& programs);

 protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void LaunchFrom(const std::string& dirSetting, const char* launchName);
  void LaunchSibling(const TSiblingProgram& p);
  // The restores' shared part: the archive chosen in a file dialog that
  // starts in dir + "Kopia", unpacked into dir with `followUp` in the same
  // step. Tells the user the outcome.
  enum class TRestoreOutcome { NothingChosen, Restored, Failed };
  TRestoreOutcome RestoreInto(const std::string& dir, const TUnpackFollowUp& followUp);
  void ShowBackupList(const char* kind);
  // Ctrl+T: to the top left corner, stored at once.
  void BitBtn3KeyPress();
  // At closing: proposes a backup when one is due, or makes a forced one.
  void ProposeBackup();

  int Tag = 0;  // 1 once the window has been activated
  // True while a restore unpacks: events are pumped then, and a request
  // to close the window is ignored.
  bool restoring_ = false;
};

// The six sibling programs in the standard order.
std::vector<const TSiblingProgram*> AllSiblings();

// The program's windows as its start makes them. What a killed run left is
// settled first, before anything reads the settings or the siblings' files;
// then the main window is made, owning the update window; then the notices
// of that settling are shown, in the look the main window has given the
// message dialog, as every later message. Throws what making the windows
// throws.
std::unique_ptr<TEkr_Ruv> CreateProgramWindows();
