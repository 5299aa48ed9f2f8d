#include "admin/Adm_Ekr_kopia.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>

#include <array>
#include <filesystem>
#include <system_error>
#include <vector>

#include "admin/AdmUi.h"
#include "admin/Adm_EkRuv.h"
#include "admin/IniFiles.h"
#include "admin/Siblings.h"
#include "platform/pfile.h"
#include "platform/pfs.h"
#include "tablebase/engineui.h"
#include "tablebase/timedate.h"
#include "tablebase/tzcommon.h"
#include "tablebase_ui/tzdialog.h"
#include "tablebase/tzutils.h"

namespace {

constexpr const char* kDataMasks[] = {"*.dbf", "*.dbt", "*.ini", "*.rtf", "*.log", "*.txt", "*.rw",
                                      "*.csv", "*.xls", "*.etm", "*.lpp", "*.skk", "*.wzorzec", "*.zamowienie"};

// The executable and report file of each family program, in the standard
// order of the siblings.
struct TFamilyFiles {
  const char* Exe;
  const char* Report;
};
constexpr std::array<TFamilyFiles, 5> kFamilyFiles = {{
    {"RUV_TM.exe", "TMR_Ruv.rav"},
    {"Ruv_grvl.exe", "GRV_Ruv.rav"},
    {"Ruv_SL.exe", "RP_Ruv.rav"},
    {"Ruv_D.exe", "DQP_Ruv.rav"},
    {"Ruv_Kelpiro.exe", "Kelpiro_Ruv.rav"},
}};

// Backed up whenever present: the personnel-information reader, this
// program, the tools, and the libraries.
constexpr const char* kAlwaysTested[] = {"Ruv_Fenvo.exe", "Ruv_Admin.exe", "RUV_UTL.exe", "QZVKopia.exe",
                                         "RUV_Kod.exe",   "RUV_Ltn.exe",   "*.dll"};

// The personal-data tables the one-off option leaves out.
constexpr const char* kPersonalData[] = {"osoby.dbf", "osoby.dbt"};

constexpr const char* kDocumentsDir = "Dokumenty";
constexpr const char* kDocumentMasks[] = {"*.aaoc", "*.jpg", "*.wmf", "*.bmp", "*.pdf", "*.txt"};

constexpr const char* kBackupSubdir = "Kopia/";

std::string TwoDigits(int n) {
  std::string s;
  s += char('0' + (n / 10) % 10);
  s += char('0' + n % 10);
  return s;
}

// Adds `name` (a mask or a file name relative to `dir`) to `specs` when
// at least one file matches it there, in any letter case.
void AddWhenPresent(std::vector<std::string>& specs, const std::string& dir, const std::string& name) {
  if (FileExists(dir + name)) specs.push_back(name);
}

void PumpEvents() { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }

}  // namespace

std::string BackupArchiveName(int year, int month, int day, const char* suffix) {
  return std::to_string(year) + "_" + TwoDigits(month) + "_" + TwoDigits(day) + "_Admin_kopia_danych" + suffix;
}

int DeleteOldBackups(const std::string& dir, int days) {
  // An erasure that fails is simply not counted; the switch comes back on
  // every way out.
  AutoErrorHandlingScope quiet(false);
  std::vector<plat::FindData> found;
  if (dir.empty() || plat::FindFiles(plat::ResolvePath(dir) + "/*.zip", 0, found) != plat::kOk) return 0;
  const std::string today = TodayText();
  int count = 0;
  for (const plat::FindData& f : found) {
    const std::string& n = f.name;
    if (n.size() < 10) continue;
    const std::string date = n.substr(8, 2) + "." + n.substr(5, 2) + "." + n.substr(0, 4);
    if (!IsValidDate(date) || DateDiff(today, date) <= days) continue;
    EraseFiles(DirPath(plat::ResolvePath(dir)) + n);
    if (LastErrorCode() == 0) ++count;
  }
  return count;
}

TEk_Adm_kopia::TEk_Adm_kopia(TEkr_Ruv& owner) : QDialog(&owner), owner_(owner) {
  SetUpDialog(*this, "Ek_Adm_kopia", "Kopia plików danych ", 640, 436);

  RichEdit1 = Place<QTextEdit>(this, "RichEdit1", 8, 8, 624, 260);
  RichEdit1->setReadOnly(true);
  // The report's rule of 68 "=" stays one line.
  RichEdit1->setLineWrapMode(QTextEdit::NoWrap);
  RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QPalette info = RichEdit1->palette();
  info.setColor(QPalette::Base, QColor(255, 255, 225));
  info.setColor(QPalette::Text, QColor(128, 128, 128));
  RichEdit1->setPalette(info);

  Biezacyplik = Place<QLabel>(this, "Biezacyplik", 8, 274, 624, 34, "Bieżący plik :");
  Biezacyplik->setAlignment(Qt::AlignCenter);
  Biezacyplik->setWordWrap(true);
  ProgressBar1 = Place<QProgressBar>(this, "ProgressBar1", 8, 312, 624, 17);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->hide();
  CheckBox1 = Place<QCheckBox>(this, "CheckBox1", 8, 340, 420, 19, "prześlij kopię do serwera VELMO Soft");
  CheckBox2 = Place<QCheckBox>(this, "CheckBox2", 8, 364, 420, 19, "pominąć katalog dokumentów dodatkowych");
  BitBtnKopia = Place<QPushButton>(this, "BitBtnKopia", 402, 398, 112, 29, "Twórz kopię");
  BitBtnKopia->setToolTip("Twórz kopię");
  BitBtn8 = Place<QPushButton>(this, "BitBtn8", 522, 398, 110, 29, "Zamknij");
  Label1 = Place<QLabel>(this, "Label1", 8, 404, 100, 17, "wymuś_kopię");
  Label1->hide();

  connect(BitBtnKopia, &QPushButton::clicked, this, &TEk_Adm_kopia::BitBtnKopiaClick);
  connect(BitBtn8, &QPushButton::clicked, this, &QDialog::reject);
  ZipMaster191.OnProgress = [this](const TZipProgressDetails& d) { ZipMaster191Progress(d); };
  ZipMaster191.OnMessage = [this](int code, const std::string& text) { ZipMaster191Message(code, text); };
  IdFTP1.SetAccount(kBackupFtpAccount);
  FormCreate();
}

TEk_Adm_kopia::~TEk_Adm_kopia() { FormClose(); }

void TEk_Adm_kopia::FormCreate() { ZipMaster191.SetDLL_Load(true); }

void TEk_Adm_kopia::FormClose() { ZipMaster191.SetDLL_Load(false); }

void TEk_Adm_kopia::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  activated_ = false;
  FormShow();
}

void TEk_Adm_kopia::FormShow() { Biezacyplik->setText(""); }

bool TEk_Adm_kopia::event(QEvent* e) {
  if (e->type() == QEvent::WindowActivate) FormActivate();
  return QDialog::event(e);
}

void TEk_Adm_kopia::FormActivate() {
  if (activated_ || Label1->text() != "T") return;
  activated_ = true;
  BitBtn8->setEnabled(false);
  CheckBox1->setChecked(false);
  CheckBox1->setEnabled(false);
  // Started once the activation is through, so the run's own dialogs do
  // not nest inside the activation.
  QTimer::singleShot(0, this, &TEk_Adm_kopia::BitBtnKopiaClick);
}

void TEk_Adm_kopia::closeEvent(QCloseEvent* e) {
  if (running_) {
    e->ignore();
    return;
  }
  QDialog::closeEvent(e);
}

void TEk_Adm_kopia::done(int r) {
  if (running_) return;
  QDialog::done(r);
}

bool TEk_Adm_kopia::ProgramInstalled(int siblingIndex) const {
  return owner_.ProgramButton(kSiblings[size_t(siblingIndex)])->isEnabled();
}

void TEk_Adm_kopia::Log(const std::string& line) {
  RichEdit1->append(QStr(line));
  RichEdit1->moveCursor(QTextCursor::End);
  RichEdit1->ensureCursorVisible();
  PumpEvents();
}

void TEk_Adm_kopia::ZipMaster191Progress(const TZipProgressDetails& d) {
  switch (d.ProgType) {
    case TotalSize2Process:
      Log("Wielkość nieskompresowanych plików: " + std::to_string(d.TotalSize / 1024) + " kB");
      ProgressBar1->setMaximum(100);
      ProgressBar1->setValue(1);
      break;
    case TotalFiles2Process: Log("Do dodania jest : " + std::to_string(d.TotalCount) + " plik(i/ów)"); break;
    case NewFile:
      Biezacyplik->setText(QStr(d.ItemName).toLower());
      Biezacyplik->show();
      ProgressBar1->show();
      break;
    case ProgressUpdate: ProgressBar1->setValue(d.ItemPerCent); break;
    case EndOfItem: break;
    case EndOfBatch:
      Biezacyplik->setText("");
      Biezacyplik->hide();
      ProgressBar1->setValue(1);
      ProgressBar1->hide();
      Log(" ");
      break;
  }
  PumpEvents();
}

void TEk_Adm_kopia::ZipMaster191Message(int errCode, const std::string& message) {
  Log(message);
  if (errCode > 0) ShowPlainMessage("Błąd: " + message);
}

std::string TEk_Adm_kopia::ChooseBackupDir(const std::string& source, const std::string& configured) {
  const std::string own = source + kBackupSubdir;
  const std::string candidate = TrimBoth(configured).empty() ? own : DirPath(configured);
  if (const std::string found = plat::ResolvePath(candidate); plat::IsDirectory(found)) return DirPath(found);
  const std::string ownResolved = plat::ResolvePath(own);
  std::error_code ec;
  std::filesystem::create_directories(ownResolved, ec);
  if (plat::IsDirectory(ownResolved)) return DirPath(ownResolved);
  ShowMessageDialog("Błąd", "h", "Błąd przy tworzeniu pliku!;lokalizacja: " + candidate, "Dalej");
  return {};
}

void TEk_Adm_kopia::BitBtnKopiaClick() {
  if (running_) return;
  running_ = true;
  struct RunningFlag {
    bool& flag;
    ~RunningFlag() { flag = false; }
  } runningFlag{running_};
  RichEdit1->clear();
  BitBtnKopia->setEnabled(false);
  Run();
}

void TEk_Adm_kopia::Run() {
  const std::string prog = ProgramDir();
  bool passive = false, withoutPersonalData = false, deleteOld = false;
  std::string configured;
  int days = 0;
  {
    TIniFile ruv = OpenIni(TIniKind::Ruv);
    passive = ReadSetting(ruv, Keys::TrybFtp) != "A";
    withoutPersonalData = ReadSettingBool(ruv, Keys::ProponujKopieBezDanychOsobowych);
    configured = ReadSetting(ruv, Keys::KatalogKopii);
    // The option holds for this one run, even when the run fails later.
    try {
      WriteSettingBool(ruv, Keys::ProponujKopieBezDanychOsobowych, false);
    } catch (const EIniFileException&) {
    }
    deleteOld = ReadSetting(ruv, Keys::UsuwacStarszeKopie) == "Tak";
    days = ReadSettingInt(ruv, Keys::UsuwacStarszeKopieIleDni);
  }
  TIniFile admin = OpenIni(TIniKind::Admin);
  const std::string today = TodayText();
  const int year = Year(today), month = Month(today), day = Day(today);

  auto archiveFailed = [] {
    ShowMessageDialog("Błąd", "h", "Błąd przy tworzeniu archiwum, wyjątek DLL !", "Dalej");
  };
  auto sourceMissing = [](const std::string& dir) {
    ShowErrorBox("Nie można przejść do katalogu " + dir + " (katalog nie istnieje).");
  };

  bool anyReady = false;
  std::string familyPath, coursesPath;  // set when that backup was attempted
  std::string familyMade, coursesMade;  // set when its Add raised nothing
  bool familyOk = false, coursesOk = false;

  // The family archive, from the program directory.
  if (!plat::IsDirectory(prog)) {
    sourceMissing(prog);
    return;
  }
  if (std::string dir = ChooseBackupDir(prog, configured); !dir.empty()) {
    anyReady = true;
    ScreenCursorScope busy(true);
    auto& zip = ZipMaster191;
    zip.FSpecArgs.clear();
    zip.FSpecArgsExcl.clear();
    zip.RootDir = prog;
    for (const char* mask : kDataMasks) AddWhenPresent(zip.FSpecArgs, prog, mask);
    for (size_t i = 0; i < kFamilyFiles.size(); ++i) {
      if (!ProgramInstalled(int(i))) continue;
      AddWhenPresent(zip.FSpecArgs, prog, kFamilyFiles[i].Exe);
      AddWhenPresent(zip.FSpecArgs, prog, kFamilyFiles[i].Report);
    }
    for (const char* name : kAlwaysTested) AddWhenPresent(zip.FSpecArgs, prog, name);
    if (withoutPersonalData)
      for (const char* name : kPersonalData) zip.FSpecArgsExcl.push_back(name);
    familyPath = dir + BackupArchiveName(year, month, day, "_ruv.zip");
    zip.ZipFileName = familyPath;
    try {
      familyOk = zip.Add();
      zip.FSpecArgs.clear();
      zip.AddOptions |= AddDirNames;
      const std::string docs = prog + kDocumentsDir + "/";
      for (const char* mask : kDocumentMasks) {
        if (FileExists(docs + mask)) zip.FSpecArgs.push_back(docs + mask);
      }
      if (!zip.FSpecArgs.empty() && !CheckBox2->isChecked()) familyOk = zip.Add() && familyOk;
    } catch (const EZipMaster&) {
      archiveFailed();
      return;
    }
    familyMade = zip.ZipFileName;
  }

  // The courses archive, from program Morta's directory.
  if (ProgramInstalled(int(&kMorta - kSiblings.data()))) {
    const std::string source = ReadProgramDir(admin, kMorta);
    if (!source.empty()) {
      const std::string morta = DirPath(source);
      if (!plat::IsDirectory(plat::ResolvePath(morta))) {
        sourceMissing(morta);
        return;
      }
      if (std::string dir = ChooseBackupDir(morta, configured); !dir.empty()) {
        anyReady = true;
        ScreenCursorScope busy(true);
        auto& zip = ZipMaster191;
        zip.FSpecArgs.clear();
        zip.FSpecArgsExcl.clear();
        zip.RootDir = plat::ResolvePath(morta);
        for (const char* mask : kDataMasks) AddWhenPresent(zip.FSpecArgs, morta, mask);
        AddWhenPresent(zip.FSpecArgs, morta, "Morta.exe");
        AddWhenPresent(zip.FSpecArgs, morta, "RP_Morta.rav");
        coursesPath = dir + BackupArchiveName(year, month, day, "_morta.zip");
        zip.ZipFileName = coursesPath;
        try {
          coursesOk = zip.Add();
        } catch (const EZipMaster&) {
          archiveFailed();
          return;
        }
        coursesMade = zip.ZipFileName;
      }
    }
  }
  if (!anyReady) return;

  if (!familyMade.empty() || !coursesMade.empty()) {
    const std::string rule(68, '=');
    Log(rule);
    Log("   KOPIA ZOSTAŁA UTWORZONA");
    for (auto [made, ok] : {std::pair{familyMade, familyOk}, std::pair{coursesMade, coursesOk}}) {
      if (made.empty()) continue;
      if (ok && plat::IsRegularFile(plat::ResolvePath(made)))
        Log("   " + made);
      else
        Log("   ... problem z zapisem do pliku: " + made);
    }
    Log(rule);
    Log(" ");
  }

  // The backup proposal counts from the last backup that was really made.
  if (familyOk || coursesOk) {
    try {
      TIniFile ruv = OpenIni(TIniKind::Ruv);
      WriteSetting(ruv, Keys::ProponujKopieKiedy, today);
    } catch (const EIniFileException&) {
    }
  }

  if (CheckBox1->isChecked()) {
    bool connected = false;
    {
      ScreenCursorScope busy(true);
      Log("*** przesyłanie kopii ***");
      IdFTP1.Passive = passive;
      try {
        IdFTP1.Connect();
        connected = true;
      } catch (const EIdFTPError&) {
      }
    }
    if (!connected) {
      ShowMessageDialog("Informacja", "i",
                        "Brak możliwości przesłania kopii do VELMO Soft - problem z połączeniem.", "Zakończ");
      return;
    }
    std::string failure;
    {
      ScreenCursorScope busy(true);
      try {
        for (const std::string& path : {familyPath, coursesPath}) {
          if (path.empty()) continue;
          IdFTP1.Put(path, path.substr(path.rfind('/') + 1), true);
        }
      } catch (const EIdFTPError& e) {
        failure = e.what();
      }
      IdFTP1.Disconnect();
    }
    if (!failure.empty()) {
      ShowErrorBox(failure);
      return;
    }
    Log("*** kopia została przesłana ***");
  }

  if (deleteOld) {
    const std::string dir = TrimBoth(configured).empty() ? prog + kBackupSubdir : DirPath(configured);
    if (int count = DeleteOldBackups(dir, days); count > 0) {
      Log(" ");
      Log("*** kopie starsze o " + std::to_string(days) + " dni zostały usunięte (" + std::to_string(count) +
          " szt.)***");
    }
  }
  ShowMessageDialog("Informacja", "i", "Kopiowanie plików danych zostało zakończone.", "Zakończ");
}
