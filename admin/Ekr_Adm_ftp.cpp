#include "admin/Ekr_Adm_ftp.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <stdexcept>

#include "admin/AdmUi.h"
#include "admin/FileErrors.h"
#include "admin/IniFiles.h"
#include "admin/Restore.h"
#include "admin/Siblings.h"
#include "platform/pfile.h"
#include "platform/pfs.h"
#include "tables/datasets/utzfds.h"
#include "tablebase/engineui.h"
#include "tablebase/timedate.h"
#include "tablebase/tzcommon.h"
#include "tablebase_ui/tzdialog.h"
#include "tablebase/tzutils.h"

TAdm_ftp* Adm_ftp = nullptr;

namespace {

constexpr const char* kUpdateDir = "/aktualizacje";
constexpr const char* kStagingDirName = "aktualizacje";

size_t IndexOf(const TSiblingProgram& p) { return size_t(&p - kSiblings.data()); }

// The calendar date of a server time in UTC, as a date text.
std::string UtcDateText(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  AutoErrorHandlingScope quiet(false);
  return DateFrom(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

// Is the archive's date at least one day after the stored date? A stored
// text that is no valid date (edited by hand, written by an old version)
// compares as the date a program without any stored date gets, rather than
// stopping the program through the engine's error reaction.
bool ArchiveIsNewer(const std::string& serverDate, std::string storedDate) {
  if (!IsValidDate(storedDate)) storedDate = Keys::kUpdateDateDefault;
  AutoErrorHandlingScope quiet(false);
  const int32_t days = DateDiff(serverDate, storedDate);
  return LastErrorCode() == 0 && days > 0;
}

// The date part of the engine's file stamp: "" when the file is missing.
std::string FileDate(const std::string& path) { return FileStamp(path).substr(0, 10); }

// Disconnects on every way out of a check.
class FtpConnectionScope {
 public:
  explicit FtpConnectionScope(TIdFTP& ftp) : ftp_(ftp) {}
  ~FtpConnectionScope() {
    try {
      ftp_.Disconnect();
    } catch (...) {
      // The connection is gone either way.
    }
  }
  FtpConnectionScope(const FtpConnectionScope&) = delete;
  FtpConnectionScope& operator=(const FtpConnectionScope&) = delete;

 private:
  TIdFTP& ftp_;
};

// Disables a button for a scope.
class EnabledOffScope {
 public:
  explicit EnabledOffScope(QWidget& w) : w_(w) { w_.setEnabled(false); }
  ~EnabledOffScope() { w_.setEnabled(true); }
  EnabledOffScope(const EnabledOffScope&) = delete;
  EnabledOffScope& operator=(const EnabledOffScope&) = delete;

 private:
  QWidget& w_;
};

// Opens an installation table for a scope. Its engine errors (a damaged or
// missing table) come as the dataset's exception, never as the engine's
// ending of the program.
class TableOpenScope {
 public:
  explicit TableOpenScope(TTzDbf& table) : table_(table) {
    AutoErrorHandlingScope quiet(false);
    table_.Open();
  }
  ~TableOpenScope() {
    AutoErrorHandlingScope quiet(false);
    try {
      table_.Close();
    } catch (...) {
      // Only read from: nothing of it can be lost.
    }
  }
  TableOpenScope(const TableOpenScope&) = delete;
  TableOpenScope& operator=(const TableOpenScope&) = delete;

 private:
  TTzDbf& table_;
};

// The user's town and name as the download record gives them, from the
// current record of an installation table (Windows-1250 bytes as stored):
// the town in its field's width and then blanks up to 50 characters, and
// the name without the blanks around it.
std::string DownloadRecord(TTzDbf* table) {
  if (!table) throw std::runtime_error("Brak tabeli instalacji programu.");
  TableOpenScope open(*table);
  std::string town = table->FieldStr("miasto");
  if (town.size() < 50) town.append(50 - town.size(), ' ');
  return town + " ;  " + TrimBoth(table->FieldStr("nazwa"));
}

// Writes `bytes` as the whole file; 0 or the DOS error.
int WriteWholeFile(const std::string& path, const std::string& bytes) {
  plat::File f;
  if (int rc = f.Create(path, plat::kAccessWrite | plat::kShareDenyAll)) return rc;
  return f.Write(bytes.data(), bytes.size());
}

// The download's record file, on the server and beside the executable.
constexpr const char* kDownloadRecordName = "pobranie.txt";
// The programs in the order their archives are downloaded (Morta's comes
// first, before these) and unpacked.
const TSiblingProgram* const kUnpackOrder[] = {&kTamir, &kSL, &kGorvalo, &kDravon, &kKelpiro, &kMorta};

// The family's five programs in the order the package update compares them,
// and the order it writes their dates.
const TSiblingProgram* const kCompareOrder[] = {&kTamir, &kGorvalo, &kSL, &kDravon, &kKelpiro};
const TSiblingProgram* const kWriteOrder[] = {&kSL, &kTamir, &kDravon, &kKelpiro, &kGorvalo};
// Executables a package may bring that never stay in the staging directory.
const char* const kStagedExecutables[] = {"Ruv_TM.exe",      "Ruv_grvl.exe",  "Ruv_SL.exe",   "Ruv_D.exe",
                                          "Ruv_Kelpiro.exe", "Ruv_Admin.exe", "Ruv_Fenvo.exe"};

}  // namespace

class TAdm_ftp::BusyScope {
 public:
  explicit BusyScope(TAdm_ftp& w) : w_(w) { w_.busy_ = true; }
  ~BusyScope() { w_.busy_ = false; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  TAdm_ftp& w_;
};

TAdm_ftp::TAdm_ftp(QWidget* parent) : QDialog(parent) {
  setObjectName("Adm_ftp");
  setWindowTitle("Aktualizacja programów");
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFont(TahomaFont(13));
  setFixedSize(579, 611);

  Memo1 = Place<QPlainTextEdit>(this, "Memo1", 8, 8, 561, 561);
  Memo1->setReadOnly(true);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QPalette face = Memo1->palette();
  face.setColor(QPalette::Base, face.color(QPalette::Button));
  Memo1->setPalette(face);
  Button1 = Place<QPushButton>(this, "Button1", 168, 576, 289, 25, "Sprawdź dostępność aktualizacji w internecie");
  Button2 = Place<QPushButton>(this, "Button2", 8, 576, 137, 25, "Aktualizacja z pliku");
  BitBtn8 = Place<QPushButton>(this, "BitBtn8", 480, 576, 89, 25, "Zamknij");
  setTabOrder(Button1, Button2);
  setTabOrder(Button2, BitBtn8);
  for (QPushButton* b : {Button1, Button2, BitBtn8}) b->setAutoDefault(false);

  connect(Button1, &QPushButton::clicked, this, &TAdm_ftp::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TAdm_ftp::Button2Click);
  connect(BitBtn8, &QPushButton::clicked, this, &TAdm_ftp::reject);

  IdFTP1.SetAccount(kUpdateFtpAccount);
  IdFTP1.OnStatus = [this](TIdStatus s, const std::string&) { IdFTP1Status(s); };
  IdFTP1.OnWork = [this](TWorkMode m, int64_t n) { IdFTP1Work(m, n); };
  ZipMaster191.ExtrOptions = ExtrOverWrite | ExtrForceDirs;
  // What the ZIP library says about an archive it cannot read or write,
  // shown in its own words.
  ZipMaster191.OnMessage = [this](int code, const std::string& text) {
    if (code != ZipMsgInfo && zipError_.empty()) zipError_ = text;
  };

  Adm_ftp = this;
}

TAdm_ftp::~TAdm_ftp() {
  if (Adm_ftp == this) Adm_ftp = nullptr;
}

void TAdm_ftp::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  // Centred on the screen, as designed.
  CentreOnScreen(*this);
  Button1->setFocus();
  FormShow();
}

void TAdm_ftp::reject() {
  if (!busy_) QDialog::reject();
}

void TAdm_ftp::closeEvent(QCloseEvent* event) {
  if (busy_)
    event->ignore();
  else
    QDialog::closeEvent(event);
}

QStringList TAdm_ftp::Lines() const { return Memo1->toPlainText().split('\n'); }

int TAdm_ftp::LineCount() const { return Memo1->document()->isEmpty() ? 0 : Memo1->document()->blockCount(); }

void TAdm_ftp::AddLine(const std::string& line) {
  Memo1->appendPlainText(QStr(line));
  Memo1->repaint();
  Ui().ProcessMessages();
}

void TAdm_ftp::SetLogFont(bool wrap) {
  QFont f = TahomaFont(13);
  f.setPointSize(10);
  Memo1->setFont(f);
  Memo1->setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
}

void TAdm_ftp::FormShow() {
  Memo1->clear();
  QFont courier("Courier New", 10);
  courier.setStyleHint(QFont::Monospace);
  courier.setFixedPitch(true);
  Memo1->setFont(courier);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);

  const TIniFile ini = OpenIni(TIniKind::Ruv);
  const std::string separator = " " + std::string(65, '=') + " ";
  std::string text;
  const auto add = [&text](const std::string& line) { text += "\n" + line; };
  add(separator);
  add("      data wykonania ostatniej aktualizacji .... : " + ReadSetting(ini, Keys::Wykonano));
  add(separator);
  add("            aktualizowane programy i daty ich wykonania");
  add(" ");
  for (const auto& p : kSiblings) {
    if (!Installed(p)) continue;
    // The titles are ASCII; 39 - length dots put every date in column 52.
    const std::string title = p.UpdateTitle;
    add("      \"" + title + "\" " + std::string(39 - title.size(), '.') + " : " +
        ini.ReadString(Keys::kAktualizacje, p.UpdateKey, Keys::kUpdateDateUnknown));
  }
  add(separator);
  Memo1->setPlainText(QStr(text));

  const bool fromFile = ReadSetting(ini, Keys::MozliwoscAktualizowaniaZPliku) == "Tak";
  Button1->setEnabled(!fromFile);
  Button2->setEnabled(fromFile);
}

void TAdm_ftp::IdFTP1Status(TIdStatus AStatus) {
  switch (AStatus) {
    case hsResolving: AddLine("tworzenie połączenia ..."); break;
    case hsConnecting: AddLine("łączenie ..."); break;
    case hsConnected: AddLine("Połączony."); break;
    case hsDisconnecting: AddLine("rozłączanie ..."); break;
    case hsDisconnected: AddLine("Rozłączony.\n"); break;
    case hsStatusText: AddLine("połączenie generuje komunikat ..."); break;
    case ftpTransfer: AddLine("pobieranie rozpoczęte ..."); break;
    case ftpReady: AddLine("gotowy ..."); break;
    case ftpAborted: AddLine("Połączenie zostało zakończone."); break;
  }
}

void TAdm_ftp::IdFTP1Work(TWorkMode AWorkMode, int64_t AWorkCount) {
  if (AWorkMode != wmRead) return;
  std::string text;
  if (TransferSize > 0) {
    const long percent = std::lround(double(AWorkCount) / double(TransferSize) * 100.0);
    text = IntText(percent);
    if (text.size() < 3) text.insert(0, 3 - text.size(), ' ');
    text += " %";
  } else {
    // Without a size from the server there is no percentage to give; the
    // bytes received still show that the transfer moves.
    text = IntText(AWorkCount) + " B";
  }
  // The line right after the last one is the open line a new line would be
  // written into: the percentage is written there too.
  const int line = ProgressLine + 1;
  if (line == LineCount()) {
    Memo1->appendPlainText(QStr(text));
  } else {
    const QTextBlock block = Memo1->document()->findBlockByNumber(line);
    if (!block.isValid()) return;
    QTextCursor cursor(block);
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.insertText(QStr(text));
  }
  Memo1->repaint();
  Ui().ProcessMessages();
}

void TAdm_ftp::Button1Click() {
  BusyScope busy(*this);
  Button1->setEnabled(false);
  Memo1->clear();
  SetLogFont(true);
  ScreenCursorScope hourglass(true);
  // Failed: the log stays for the user to read (the failure was said);
  // Done: nothing newer, or the user declined; Install: the user takes the
  // updates offered.
  enum class Outcome { Failed, Done, Install };
  const auto check = [this]() -> Outcome {
    TIniFile ini = OpenIni(TIniKind::Ruv);
    const bool passive = ReadSetting(ini, Keys::TrybFtp) != "A";
    std::array<std::string, 6> stored;
    for (const auto& p : kSiblings)
      stored[IndexOf(p)] = ini.ReadString(Keys::kAktualizacje, p.UpdateKey, Keys::kUpdateDateDefault);
    // Before the connection is tried: a check that cannot connect counts
    // as made for the update proposal. A settings file that cannot be
    // written (a program directory the user may not write) must not stop
    // the check itself.
    try {
      WriteSetting(ini, Keys::ProponujAktualizacjeKiedy, TodayText());
    } catch (const EIniFileException&) {
    }
    Newer.fill(false);

    IdFTP1.Passive = passive;
    try {
      IdFTP1.Connect();
    } catch (const EIdFTPError&) {
      Ui().SetBusyCursor(false);
      AddLine("Nie ustanowiono połączenia.");
      ShowMessageDialog("Informacja", "i", "Brak możliwości połączenia - sprawdź ustawienia i spróbuj ponownie.",
                        "Zakończ");
      return Outcome::Failed;
    }
    FtpConnectionScope connection(IdFTP1);
    AddLine("sprawdzanie dostępności aktualizacji ...");

    const auto enterUpdateDir = [this] {
      try {
        IdFTP1.ChangeDir(kUpdateDir);
        return true;
      } catch (const EIdFTPError&) {
        Ui().SetBusyCursor(false);
        AddLine("Brak katalogu na serwerze ftp.");
        ShowMessageDialog("Informacja", "i", std::string("Błąd połączenia - brak katalogu (") + kUpdateDir + ").",
                          "Zakończ");
        return false;
      }
    };
    const auto dateArchive = [this](const TSiblingProgram& p) {
      ServerDate[IndexOf(p)] = UtcDateText(IdFTP1.FileDate(p.Archive));
    };
    const auto compare = [&](const TSiblingProgram& p) {
      Newer[IndexOf(p)] = ArchiveIsNewer(ServerDate[IndexOf(p)], stored[IndexOf(p)]);
    };

    if (Installed(kMorta)) {
      if (!enterUpdateDir()) return Outcome::Failed;
      dateArchive(kMorta);
      compare(kMorta);
    }
    bool anyFamily = false;
    for (const auto* p : kCompareOrder) anyFamily = anyFamily || Installed(*p);
    if (anyFamily) {
      if (!enterUpdateDir()) return Outcome::Failed;
      for (const auto* p : {&kSL, &kTamir, &kDravon, &kKelpiro, &kGorvalo}) dateArchive(*p);
      for (const auto* p : kCompareOrder)
        if (Installed(*p)) compare(*p);
    }

    bool anyNewer = false;
    for (bool n : Newer) anyNewer = anyNewer || n;
    if (!anyNewer) {
      ShowMessageDialog("Informacja", "i", "Nie ma nowszych wersji programów.", "Zakończ");
      return Outcome::Done;
    }
    const std::string answer = ShowMessageDialog("Potwierdzenie", "?", "Dostępne są aktualizacje programów.",
                                                 "Wykonaj_aktualizację Zakończ");
    return answer == "W" ? Outcome::Install : Outcome::Done;
  };
  try {
    const Outcome outcome = check();
    if (outcome == Outcome::Failed) return;
    // The download opens a connection of its own once the check's is closed.
    if (outcome == Outcome::Install) Button3Click();
  } catch (const std::exception& e) {
    Ui().SetBusyCursor(false);
    ShowErrorBox(e.what());
    return;
  }
  Ui().SetBusyCursor(false);
  FormShow();
}

void TAdm_ftp::Button3Click() {
  // The window's state comes back on every way out: its close button, the
  // ZIP module, the connection (closed before the unpacking) and the tables.
  EnabledOffScope closeButtonOff(*BitBtn8);
  TZipModuleScope module(ZipMaster191);
  TIniFile ini = OpenIni(TIniKind::Ruv);
  const TIniFile adminIni = OpenIni(TIniKind::Admin);
  const bool passive = ReadSetting(ini, Keys::TrybFtp) != "A";
  const bool noRecord = ReadSettingBool(ini, Keys::CzyZapisInfOAktualizacji);
  const std::string localRecord = ProgramDir() + kDownloadRecordName;

  std::array<std::string, 6> dirs;
  std::array<bool, 6> downloaded{};
  {
    FtpConnectionScope connection(IdFTP1);
    IdFTP1.Passive = passive;
    IdFTP1.Connect();
    IdFTP1.ChangeDir(kUpdateDir);

    const auto download = [&](const TSiblingProgram& p) {
      const size_t i = IndexOf(p);
      const std::string title = std::string("\"") + p.DownloadTitle + "\"";
      AddLine("przygotowanie do pobierania aktualizacji programu " + title + " ...");
      ProgressLine = LineCount();
      dirs[i] = DirPath(ReadProgramDir(adminIni, p));
      const auto ended = [&] { AddLine("Pobieranie aktualizacji programu " + title + " zakończone.\n"); };
      try {
        if (dirs[i].empty())
          throw std::runtime_error("Brak informacji o położeniu programu " + title + ".");
        TransferSize = IdFTP1.Size(p.Archive);
        IdFTP1.Get(p.Archive, dirs[i] + p.Archive, true);
      } catch (...) {
        ended();
        throw;
      }
      ended();
      downloaded[i] = true;
    };

    std::string record;
    if (Installed(kMorta)) {
      record = DownloadRecord(mrtInst_);
      if (Newer[IndexOf(kMorta)]) download(kMorta);
    }
    bool anyFamily = false;
    for (const auto* p : kUnpackOrder) anyFamily = anyFamily || (p->Family && Newer[IndexOf(*p)]);
    if (anyFamily) {
      record = DownloadRecord(ruvInst_);
      for (const auto* p : kUnpackOrder)
        if (p->Family && Newer[IndexOf(*p)]) download(*p);
    }

    if (std::find(downloaded.begin(), downloaded.end(), true) != downloaded.end()) {
      AddLine("zapisywanie informacji o pobraniu aktualizacji ...");
      ProgressLine = LineCount();
      const int saved = WriteWholeFile(localRecord, TodayText() + " , " + TimeStr() + "  - " + record);
      if (!noRecord) {
        // Never an earlier run's record in place of this one.
        if (saved != 0)
          throw std::runtime_error("Nie można zapisać pliku " + localRecord + " (" + FileErrorText(saved) + ").");
        IdFTP1.Put(localRecord, kDownloadRecordName, true);
      }
      AddLine("Pobieranie aktualizacji zostało zakończone.");
    }
  }

  for (const auto* p : kUnpackOrder) {
    const size_t i = IndexOf(*p);
    if (!downloaded[i]) continue;
    const std::string archive = plat::ResolvePath(dirs[i] + p->Archive);
    ZipMaster191.ZipFileName = archive;
    if (ZipMaster191.Count() == 0) {
      ShowMessageDialog("Błąd", "h", "Brak plików w aktualizacji !", "Zakończ");
      return;
    }
    // A program is dated only when every file of its archive is in place:
    // one that was not is offered again by the next check.
    const TRestoreResult unpacked = UnpackAllOrNothing(ZipMaster191, dirs[i], {});
    const std::string title = std::string("\"") + p->DownloadTitle + "\"";
    if (unpacked.Ok) {
      ini.WriteString(Keys::kAktualizacje, p->UpdateKey, ServerDate[i]);
      AddLine("Program " + title + " został pomyślnie zaktualizowany.");
    } else {
      AddLine("Program " + title + " nie został zaktualizowany.");
      ShowMessageDialog("Błąd", "h", "Błąd: " + unpacked.Error, "Zakończ");
    }
    plat::EraseFile(archive);
    if (p == &kMorta) plat::EraseFile(plat::ResolvePath(dirs[i] + kDownloadRecordName));
  }
  plat::EraseFile(localRecord);
  WriteSetting(ini, Keys::Wykonano, TodayText());
  ShowMessageDialog("Informacja", "i", "Aktualizacja została zakończona.", "Dalej");
}

void TAdm_ftp::Button2Click() {
  BusyScope busy(*this);
  ScreenCursorScope hourglass(true);
  Button2->setEnabled(false);
  Memo1->clear();
  SetLogFont(true);
  const std::string progDir = ProgramDir();
  const std::string staging = progDir + kStagingDirName + "/";

  // Ends the run: the button back, and (unless the log must stay for the
  // user to read) the report with the dates as they now stand.
  const auto finish = [this](bool report) {
    Ui().SetBusyCursor(false);
    Button2->setEnabled(true);
    if (report) FormShow();
  };
  const auto refuse = [&](const std::string& message) {
    Ui().SetBusyCursor(false);
    AddLine("zakończenie aktualizacji - nie zostanie zainstalowana");
    ShowMessageDialog("Informacja", "i", message, "Zakończ");
    finish(false);
  };
  // The staged executables are there only to be dated: none stays, and none
  // left by an interrupted earlier run passes for the package's.
  const auto clearStaging = [&staging] {
    for (const char* exe : kStagedExecutables) plat::EraseFile(plat::ResolvePath(staging + exe));
  };
  zipError_.clear();
  const auto zipFailed = [&](const std::string& why) {
    Ui().SetBusyCursor(false);
    AddLine("zakończenie aktualizacji - nie zostala zainstalowana");
    ShowMessageDialog("Błąd", "h", "Błąd: " + why, "Zakończ");
    finish(false);
  };

  std::string package;
  {
    ScreenCursorScope arrow(false);
    QFileDialog chooser(this, QString(), QStr(progDir), "pliki z aktualizacjami (*.qzv)");
    chooser.setObjectName("OpenDialog1");
    chooser.setOption(QFileDialog::DontUseNativeDialog);
    chooser.setFileMode(QFileDialog::ExistingFile);
    chooser.setAcceptMode(QFileDialog::AcceptOpen);
    chooser.setDefaultSuffix("qzv");
    if (chooser.exec() != QDialog::Accepted) {
      finish(true);
      return;
    }
    const QStringList chosen = chooser.selectedFiles();
    if (!chosen.isEmpty()) package = StdStr(chosen.front());
  }
  if (package.empty()) {
    Ui().SetBusyCursor(false);
    AddLine("zakończenie aktualizacji - nie zostala zainstalowana");
    ShowMessageDialog("Błąd", "h", "Nie wybrano pliku z aktualizacją !", "Zakończ");
    finish(true);
    return;
  }
  AddLine("Aktulizacja z pliku: " + package);

  try {
    ZipMaster191.ZipFileName = package;
    {
      TZipModuleScope module(ZipMaster191);
      // Not a ZIP archive at all, or one without entries.
      if (ZipMaster191.Count() == 0) {
        Ui().SetBusyCursor(false);
        ShowMessageDialog("Błąd", "h", "Problem z wybranym plikiem do aktualizacji (brak plików aktualizacyjnych) !",
                          "Zakończ");
        return finish(false);
      }
      ZipMaster191.FSpecArgs = {"*.exe"};
      ZipMaster191.ExtrBaseDir = staging;
      ZipMaster191.ExtrOptions = ExtrOverWrite | ExtrForceDirs;
      clearStaging();
      if (!ZipMaster191.Extract()) {
        clearStaging();
        return zipFailed(zipError_);
      }
    }

    std::array<std::string, 6> packageDate;
    for (const auto* p : {&kSL, &kTamir, &kGorvalo, &kKelpiro, &kDravon})
      packageDate[IndexOf(*p)] = FileDate(staging + p->ExeName);
    AddLine("sprawdzanie dat wykonania programów ...");
    clearStaging();

    // Newer only when every installed program whose executable lies here is
    // older, by calendar date, than the package's; installed programs that
    // live elsewhere take no part. A program the package lacks makes it not
    // newer, and without any family program installed nothing is newer.
    bool newer = false;
    for (const auto* p : kCompareOrder) newer = newer || Installed(*p);
    std::vector<const TSiblingProgram*> compared;
    for (const auto* p : kCompareOrder) {
      if (!Installed(*p)) continue;
      const std::string installedDate = FileDate(progDir + p->ExeName);
      if (installedDate.empty()) continue;
      compared.push_back(p);
      const std::string& fromPackage = packageDate[IndexOf(*p)];
      if (!IsValidDate(fromPackage)) {
        newer = false;
        continue;
      }
      AutoErrorHandlingScope quiet(false);
      if (DateDiff(installedDate, fromPackage) >= 0 || LastErrorCode() != 0) newer = false;
    }
    if (!newer) {
      refuse("Wybrany plik nie zawiera nowszych wersji programów.;Aktualizacja nie zostanie wykonana.");
      return;
    }

    {
      // A damaged package must not leave half of itself installed.
      TZipModuleScope module(ZipMaster191);
      const TRestoreResult unpacked = UnpackAllOrNothing(ZipMaster191, progDir, {});
      if (!unpacked.Ok) return zipFailed(unpacked.Error);
    }
    TIniFile ini = OpenIni(TIniKind::Ruv);
    for (const auto* p : kWriteOrder) {
      if (std::find(compared.begin(), compared.end(), p) == compared.end()) continue;
      ini.WriteString(Keys::kAktualizacje, p->UpdateKey, FileDate(progDir + p->ExeName));
    }
    WriteSetting(ini, Keys::Wykonano, TodayText());
  } catch (const std::exception& e) {
    Ui().SetBusyCursor(false);
    ShowErrorBox(e.what());
    return finish(false);
  }

  AddLine("zakończenie aktualizacji - została zainstalowana");
  Ui().SetBusyCursor(false);
  ShowMessageDialog("Informacja", "i",
                    "Aktualizacja została zainstalowana - zostanie dokończona po uruchomieniu dowolnego z programów.",
                    "Dalej");
  finish(true);
}
