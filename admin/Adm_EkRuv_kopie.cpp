// The main window's commands on the sibling programs' data: the backup,
// the restores, the index-file deletion and the backup lists.
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "admin/AdmUi.h"
#include "admin/Adm_EkRuv.h"
#include "admin/Adm_Ekr_kopia.h"
#include "admin/Adm_Ekr_lista_kopii.h"
#include "admin/IniFiles.h"
#include "admin/Restore.h"
#include "admin/Siblings.h"
#include "platform/pfs.h"
#include "tablebase/engineui.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"
#include "tablebase_ui/tzdialog.h"
#include "tablebase_ui/tzmsg.h"

namespace {

// Erases the index files ("*.mdx" in any letter case) of a directory.
// Returns false when the directory is missing; a file that cannot be
// erased is named to the user and the rest are still erased.
bool EraseIndexFiles(const std::string& dirSetting) {
  const std::string dir = DirPath(plat::ResolvePath(DirPath(dirSetting)));
  if (dir.empty() || !plat::IsDirectory(dir)) return false;
  AutoErrorHandlingScope quiet(false);
  EraseFiles(dir + "*.mdx");
  for (const auto& failed : FailedErases())
    ShowMessageDialog("Błąd", "h", "Nie można usunąć pliku: " + dir + failed.Name, "Zakończ");
  return true;
}

// The five "programy dla ruv" (not Morta), in the standard order.
std::vector<const TSiblingProgram*> FamilyPrograms() {
  std::vector<const TSiblingProgram*> family;
  for (const TSiblingProgram& p : kSiblings)
    if (p.Family) family.push_back(&p);
  return family;
}

// While a restore runs on the window thread: a wait window over the main
// window tells how far the unpacking got and which file it unpacks, then
// how many of the files are in place, and every step of the component and
// of the saving keeps the windows painted. It takes the component's
// progress event (calling the handler there before, first) and the main
// window's busy mark for its lifetime.
class RestoreProgress {
 public:
  RestoreProgress(TZipMaster19& zip, QWidget* owner, bool& busy)
      : zip_(zip), previous_(zip.OnProgress), busy_(busy), wait_(owner) {
    busy_ = true;
    wait_.setObjectName("OknoOdtwarzania");
    wait_.ShowMsg("Trwa odtwarzanie plików z kopii, proszę czekać…");
    zip_.OnProgress = [this](const TZipProgressDetails& d) { Show(d); };
  }
  ~RestoreProgress() {
    zip_.OnProgress = previous_;
    busy_ = false;
  }
  RestoreProgress(const RestoreProgress&) = delete;
  RestoreProgress& operator=(const RestoreProgress&) = delete;

  // The saving's progress (TUnpackProgress): the count is shown a few
  // times a second and at its end, the windows kept painted in between.
  void Saving(int done, int total) {
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - shown_ < std::chrono::milliseconds(40)) return Ui().ProcessMessages();
    shown_ = now;
    wait_.ShowMsg(QString("Zapisywanie odtworzonych plików: %1 z %2").arg(done).arg(total));
  }

 private:
  void Show(const TZipProgressDetails& d) {
    if (previous_) previous_(d);
    switch (d.ProgType) {
      case TotalSize2Process: total_ = d.TotalSize; break;
      case NewFile: {
        const size_t cut = d.ItemName.find_last_of("/\\");
        name_ = QStr(cut == std::string::npos ? d.ItemName : d.ItemName.substr(cut + 1));
        current_ = 0;
        break;
      }
      case ProgressUpdate: current_ = d.ItemSize * d.ItemPerCent / 100; break;
      case EndOfItem: done_ += d.ItemSize; current_ = 0; break;
      case EndOfBatch:
      case TotalFiles2Process: break;
    }
    if (name_.isEmpty()) return;
    const int64_t perCent = total_ > 0 ? std::min<int64_t>(100, (done_ + current_) * 100 / total_) : 0;
    wait_.ShowMsg(QString("Odtwarzanie kopii: %1%, plik %2").arg(perCent).arg(name_));
  }

  TZipMaster19& zip_;
  TZipMaster19::ProgressEvent previous_;
  bool& busy_;
  TTzMsg wait_;
  QString name_;
  int64_t total_ = 0, done_ = 0, current_ = 0;
  std::chrono::steady_clock::time_point shown_;
};

// The archive the user chooses in the file-open dialog, starting in `dir`
// + "Kopia"; nullopt when cancelled, "" when confirmed with no file. The
// dialog, with the list of names it completed a typed name with, is gone
// from the screen once this returns.
std::optional<std::string> ChooseArchive(QWidget* owner, const std::string& dir) {
  QFileDialog OpenDialog1(owner);
  OpenDialog1.setObjectName("OpenDialog1");
  OpenDialog1.setOption(QFileDialog::DontUseNativeDialog);
  OpenDialog1.setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1.setFileMode(QFileDialog::AnyFile);
  OpenDialog1.setDefaultSuffix("zip");
  OpenDialog1.setNameFilter("zip (*.zip)");
  OpenDialog1.setDirectory(QStr(dir + "Kopia"));
  OpenDialog1.selectFile("");
  if (OpenDialog1.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = OpenDialog1.selectedFiles();
  return chosen.isEmpty() ? std::string() : StdStr(chosen.front());
}

}  // namespace

void TEkr_Ruv::BitBtn9Click() {
  if (ProgramsRunning(AllSiblings())) return;
  std::unique_ptr<TEk_Adm_kopia> backup;
  try {
    backup = std::make_unique<TEk_Adm_kopia>(*this);
  } catch (const EZipMaster&) {
    ShowMessageDialog("Błąd", "h", "Błąd przy tworzeniu archiwum, wyjątek DLL !", "Dalej");
    return;
  }
  if (ForcedBackup) backup->Label1->setText("T");
  backup->exec();
}

void TEkr_Ruv::Usunicieplikwindeksowych1Click() {
  if (ShowMessageDialog("Informacja", "i", "Usunięte pliki indeksowe zostaną odtworzone po uruchomieniu programu.",
                        "Dalej Anuluj") != "D")
    return;
  if (ProgramsRunning(AllSiblings())) return;
  bool erased = false;
  {
    ScreenCursorScope busy(true);
    TIniFile ini = OpenIni(TIniKind::Admin);
    std::string family;
    for (const TSiblingProgram* p : FamilyPrograms()) {
      family = ReadProgramDir(ini, *p);
      if (!family.empty()) break;
    }
    if (!family.empty()) erased = EraseIndexFiles(family) || erased;
    if (const std::string morta = ReadProgramDir(ini, kMorta); !morta.empty())
      erased = EraseIndexFiles(morta) || erased;
  }
  if (erased) ShowMessageDialog("Informacja", "i", "Pliki indeksowe zostały usunięte.", "Dalej");
}

TEkr_Ruv::TRestoreOutcome TEkr_Ruv::RestoreInto(const std::string& dir, const TUnpackFollowUp& followUp) {
  TRestoreResult result;
  // Whatever fails in here, the user hears it the same way, and the
  // unpacking has taken back whatever it had moved.
  try {
    const std::optional<std::string> chosen = ChooseArchive(this, dir);
    if (!chosen) return TRestoreOutcome::NothingChosen;
    const std::string& archive = *chosen;
    if (archive.empty() || plat::IsDirectory(archive)) {
      ShowMessageDialog("Błąd", "h", "Nie wybrano kopii do odtworzenia !", "Zakończ");
      return TRestoreOutcome::NothingChosen;
    }
    ZipMaster191.ZipFileName = archive;
    TZipModuleScope module(ZipMaster191);
    if (ZipMaster191.Count() == 0) {
      ShowMessageDialog("Błąd", "h", "Brak plików w kopii !", "Zakończ");
      return TRestoreOutcome::Failed;
    }
    ScreenCursorScope busy(true);
    RestoreProgress progress(ZipMaster191, this, restoring_);
    result = RestoreArchive(ZipMaster191, dir, followUp, [&](int done, int total) { progress.Saving(done, total); });
  } catch (const std::exception& e) {
    result.Ok = false;
    result.Error = e.what();
  }
  if (!result.Ok) {
    std::string text = "Błąd krytyczny przy odtwarzaniu archiwum !;";
    if (!result.Error.empty()) text += result.Error + ";";
    ShowMessageDialog("Błąd", "h", text + "Dane nie zostały zmienione.", "Zakończ");
    return TRestoreOutcome::Failed;
  }
  ShowMessageDialog("Informacja", "i",
                    "Kopia pomyślnie odtworzona.;Liczba odtworzonych plików: " + std::to_string(result.Files),
                    "Dalej");
  return TRestoreOutcome::Restored;
}

void TEkr_Ruv::Odtworzenieplikwdanychzkopiiprogramydlaruv1Click() {
  if (ProgramsRunning(FamilyPrograms())) return;
  if (ShowMessageDialog("Potwierdzenie", "?", "Potwierdź zamiar odtwarzania plików z kopii.", "Nie Tak") == "N")
    return;
  const std::string dir = DirPath(TrimBoth(ProgramDir()));
  // The index files and the program directories, which go back to their
  // defaults only when the backup's data really replaced the old, change
  // with the restored files as one step.
  TUnpackFollowUp followUp{.EraseIndexFiles = true, .ResetProgramDirs = true, .Guard = {}};
  for (const TSiblingProgram* p : FamilyPrograms()) followUp.Guard.push_back(p->ExeName);
  const TRestoreOutcome outcome = RestoreInto(dir, followUp);
  if (outcome == TRestoreOutcome::Failed) return;
  if (outcome == TRestoreOutcome::NothingChosen) EraseIndexFiles(dir);
  else RefreshProgramButtons();
}

void TEkr_Ruv::OdtworzenieplikwdanychzkopiiprogramMorta1Click() {
  if (ProgramsRunning({&kMorta})) return;
  if (ShowMessageDialog("Potwierdzenie", "?", "Potwierdź zamiar odtwarzania plików z kopii.", "Nie Tak") == "N")
    return;
  std::string dir;
  {
    TIniFile ini = OpenIni(TIniKind::Admin);
    dir = ReadProgramDir(ini, kMorta);
  }
  if (dir.empty()) return;
  dir = DirPath(dir);
  const TRestoreOutcome outcome = RestoreInto(dir, {.EraseIndexFiles = true, .Guard = {kMorta.ExeName}});
  if (outcome == TRestoreOutcome::NothingChosen && FileExists(dir + "*.MDX")) EraseIndexFiles(dir);
}

void TEkr_Ruv::ShowBackupList(const char* kind) {
  Label1->setText(kind);
  {
    TAdm_Ek_lista_kopii list(*this);
    list.exec();
  }
  RefreshProgramButtons();
}

void TEkr_Ruv::Listawykonanychkopiiprogramydlaruv1Click() { ShowBackupList("B"); }

void TEkr_Ruv::ListawykonanychkopiiprogramMorta1Click() { ShowBackupList("K"); }
