#include "admin/Adm_EkRuv.h"

#include <QAction>
#include <QCloseEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>

#include "admin/Adm_EkRuv_proposals.h"
#include "admin/Adm_EkrRuv_par.h"
#include "admin/AdmUi.h"
#include "admin/Ekr_Adm_ftp.h"
#include "admin/IniFiles.h"
#include "admin/Launch.h"
#include "admin/ProcessCheck.h"
#include "admin/Restore.h"
#include "admin/Siblings.h"
#include "platform/pfs.h"
#include "platform/psys.h"
#include "tablebase_ui/tzdialog.h"
#include "tablebase/tzutils.h"

namespace {

constexpr int kClientWidth = 297;
constexpr int kClientHeight = 485;

bool FileThere(const std::string& path) { return plat::IsRegularFile(plat::ResolvePath(path)); }

std::string FootLine() {
  return "© 2005–" + std::to_string(plat::LocalParts(plat::Now()).year) + " VELMO Soft";
}

}  // namespace

std::vector<const TSiblingProgram*> AllSiblings() {
  std::vector<const TSiblingProgram*> all;
  for (const auto& p : kSiblings) all.push_back(&p);
  return all;
}

TEkr_Ruv::TEkr_Ruv(QWidget* parent) : QMainWindow(parent) {
  setObjectName("Ekr_Ruv");
  setWindowTitle("VELMO Soft - Programy dla ruv");
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFont(TahomaFont(13));

  auto* client = new QWidget(this);
  client->setObjectName("ClientArea");
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);

  // Decoration: a silver panel behind the program buttons, two separators.
  auto* shape = Place<QFrame>(client, "Shape1", 8, 40, 281, 289);
  shape->setAutoFillBackground(true);
  QPalette silver = shape->palette();
  silver.setColor(QPalette::Window, QColor(192, 192, 192));
  shape->setPalette(silver);
  for (auto [name, top] : {std::pair{"Bevel1", 352}, std::pair{"Bevel2", 448}}) {
    auto* line = Place<QFrame>(client, name, 8, top, 281, 2);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
  }

  const int tops[6] = {48, 96, 144, 192, 240, 288};
  QPushButton** buttons[6] = {&BitBtn3, &BitBtn2, &BitBtn1, &BitBtn4, &BitBtn7, &BitBtn6};
  for (size_t i = 0; i < kSiblings.size(); ++i)
    *buttons[i] = Place<QPushButton>(client, kSiblings[i].ButtonName, 16, tops[i], 265, 33, kSiblings[i].Caption);
  BitBtn9 = Place<QPushButton>(client, "BitBtn9", 40, 368, 217, 25, "Wykonaj kopię plików danych");
  BitBtn8 = Place<QPushButton>(client, "BitBtn8", 40, 408, 217, 25, "Sprawdź aktualizacje programów");
  Label1 = Place<QLabel>(client, "Label1", 8, 8, 200, 17, "katalog kopii ruv / morta");
  Label1->hide();
  Label2 = Place<QLabel>(client, "Label2", 8, 458, 281, 20, QStr(FootLine()));
  Label2->setAlignment(Qt::AlignCenter);

  MainMenu1 = menuBar();
  MainMenu1->setObjectName("MainMenu1");
  auto action = [this](QWidget* menu, const char* name, const char* caption) {
    auto* a = new QAction(caption, this);
    a->setObjectName(name);
    menu->addAction(a);
    return a;
  };
  Zakocz1 = action(MainMenu1, "Zakocz1", "Zakończ");
  Parametry1 = action(MainMenu1, "Parametry1", "Parametry");
  Narzdzia1 = MainMenu1->addMenu("Narzędzia");
  Narzdzia1->setObjectName("Narzdzia1");
  Narzdzia1->menuAction()->setObjectName("Narzdzia1Action");
  Usunicieplikwindeksowych1 = action(Narzdzia1, "Usunicieplikwindeksowych1", "Usunięcie plików indeksowych");
  Narzdzia1->addSeparator()->setObjectName("N1");
  Odtworzenieplikwdanychzkopiiprogramydlaruv1 =
      action(Narzdzia1, "Odtworzenieplikwdanychzkopiiprogramydlaruv1",
             "Odtworzenie plików danych z kopii - programy dla ruv");
  OdtworzenieplikwdanychzkopiiprogramMorta1 = action(Narzdzia1, "OdtworzenieplikwdanychzkopiiprogramMorta1",
                                                      "Odtworzenie plików danych z kopii - program \"Morta\"");
  Narzdzia1->addSeparator()->setObjectName("N2");
  Listawykonanychkopiiprogramydlaruv1 =
      action(Narzdzia1, "Listawykonanychkopiiprogramydlaruv1", "Lista wykonanych kopii - programy dla ruv");
  ListawykonanychkopiiprogramMorta1 = action(Narzdzia1, "ListawykonanychkopiiprogramMorta1",
                                              "Lista wykonanych kopii - program \"Morta\"");
  Narzdzia1->addSeparator()->setObjectName("N3");
  Programdoodczytywaniainformacjikadrowych1 = action(Narzdzia1, "Programdoodczytywaniainformacjikadrowych1",
                                                      "Program do odczytywania informacji kadrowych");

  connect(BitBtn3, &QPushButton::clicked, this, &TEkr_Ruv::BitBtn3Click);
  connect(BitBtn2, &QPushButton::clicked, this, &TEkr_Ruv::BitBtn2Click);
  connect(BitBtn1, &QPushButton::clicked, this, &TEkr_Ruv::BitBtn1Click);
  connect(BitBtn4, &QPushButton::clicked, this, &TEkr_Ruv::BitBtn4Click);
  connect(BitBtn7, &QPushButton::clicked, this, &TEkr_Ruv::BitBtn7Click);
  connect(BitBtn6, &QPushButton::clicked, this, &TEkr_Ruv::BitBtn6Click);
  connect(BitBtn9, &QPushButton::clicked, this, &TEkr_Ruv::BitBtn9Click);
  connect(BitBtn8, &QPushButton::clicked, this, &TEkr_Ruv::BitBtn8Click);
  connect(Zakocz1, &QAction::triggered, this, &TEkr_Ruv::Zakocz1Click);
  connect(Parametry1, &QAction::triggered, this, &TEkr_Ruv::Parametry1Click);
  connect(Usunicieplikwindeksowych1, &QAction::triggered, this, &TEkr_Ruv::Usunicieplikwindeksowych1Click);
  connect(Listawykonanychkopiiprogramydlaruv1, &QAction::triggered, this,
          &TEkr_Ruv::Listawykonanychkopiiprogramydlaruv1Click);
  connect(ListawykonanychkopiiprogramMorta1, &QAction::triggered, this,
          &TEkr_Ruv::ListawykonanychkopiiprogramMorta1Click);
  connect(Odtworzenieplikwdanychzkopiiprogramydlaruv1, &QAction::triggered, this,
          &TEkr_Ruv::Odtworzenieplikwdanychzkopiiprogramydlaruv1Click);
  connect(OdtworzenieplikwdanychzkopiiprogramMorta1, &QAction::triggered, this,
          &TEkr_Ruv::OdtworzenieplikwdanychzkopiiprogramMorta1Click);
  connect(Programdoodczytywaniainformacjikadrowych1, &QAction::triggered, this,
          &TEkr_Ruv::Programdoodczytywaniainformacjikadrowych1Click);

  // Ctrl+T works on the window and on each of its eight buttons.
  installEventFilter(this);
  for (QPushButton* b : {BitBtn3, BitBtn2, BitBtn1, BitBtn4, BitBtn7, BitBtn6, BitBtn9, BitBtn8})
    b->installEventFilter(this);

  // The installation tables are only read, in shared use, as the sibling
  // programs keep them (Windows-1250 text); a missing one is never created.
  for (TTzDbf* table : {&Ruv_inst, &mrt_inst}) {
    table->SetHideDeletedRecs(false);
    table->TableLanguage = TTzTableLanguage::tlAnsi;
    table->CreateIndex = TCreateIndexType::ciNotFound;
    table->CreateIfNotFound = false;
  }
  Ruv_inst.SetDbfFileName(kTamir.InstTable);
  mrt_inst.SetDbfFileName(kMorta.InstTable);

  setFixedSize(kClientWidth, kClientHeight + MainMenu1->sizeHint().height());
  FormCreate();
}

QPushButton* TEkr_Ruv::ProgramButton(const TSiblingProgram& p) const {
  QPushButton* const buttons[6] = {BitBtn3, BitBtn2, BitBtn1, BitBtn4, BitBtn7, BitBtn6};
  return buttons[&p - kSiblings.data()];
}

void TEkr_Ruv::FormCreate() {
  DialogOptions options;
  GetDialogOptions(options);
  QFont dialogFont = TahomaFont(13);
  dialogFont.setPointSize(10);
  options.Font = dialogFont;
  SetDialogOptions(options);
  SetCentury();
  SetDate(4);

  TIniFile ini = OpenIni(TIniKind::Admin);
  // Used as stored, even off the screen: Ctrl+T or a double click bring
  // the window back.
  move(ReadSettingInt(ini, Keys::PolozenieLewo), ReadSettingInt(ini, Keys::PolozenieGora));
  if (!ini.SectionExists(Keys::kKatalogi)) {
    // Failing to write the defaults is not reported; the readers then use
    // the same defaults. A directory name the file cannot hold is said,
    // and nothing mangled is written.
    const std::string family = DefaultProgramDir(kTamir), morta = DefaultProgramDir(kMorta);
    if (!IniCanHold(family) || !IniCanHold(morta)) {
      ShowMessageDialog("Błąd", "h", IniCannotHoldDirText(IniCanHold(family) ? morta : family), "Dalej");
    } else {
      try {
        for (const auto& p : kSiblings) ini.WriteString(Keys::kKatalogi, p.DirKey, DefaultProgramDir(p));
      } catch (const EIniFileException&) {
      }
    }
  }
  RefreshProgramButtons();
}

bool TEkr_Ruv::event(QEvent* e) {
  if (e->type() == QEvent::WindowActivate) FormActivate();
  return QMainWindow::event(e);
}

void TEkr_Ruv::FormActivate() {
  if (Tag != 0) return;
  ForcedBackup = false;
  // Marked first: closing the update window activates this one again.
  Tag = 1;
  WriteFirstRunDefaults();
  // The proposal is the update window itself, without a question.
  if (UpdateCheckDue() && BitBtn8->isEnabled() && Adm_ftp) Adm_ftp->exec();
}

void TEkr_Ruv::closeEvent(QCloseEvent* e) {
  if (restoring_) {
    e->ignore();
    return;
  }
  FormClose();
  QMainWindow::closeEvent(e);
}

void TEkr_Ruv::FormClose() {
  ProposeBackup();
  const QRect screenRect = screen()->geometry();
  const QRect frame = frameGeometry();
  const int top = frame.top() < 0 ? 0 : frame.top() > screenRect.height() - frame.height() ? 100 : frame.top();
  const int left = frame.left() < 0 ? 0 : frame.left() > screenRect.width() - frame.width() ? 100 : frame.left();
  try {
    TIniFile ini = OpenIni(TIniKind::Admin);
    WriteSettingInt(ini, Keys::PolozenieGora, top);
    WriteSettingInt(ini, Keys::PolozenieLewo, left);
  } catch (const EIniFileException&) {
    // The position is a convenience; a file that cannot be written loses it.
  }
}

void TEkr_Ruv::ProposeBackup() {
  if (!BitBtn9->isEnabled()) return;
  switch (BackupProposalDue()) {
    case TBackupProposal::None: break;
    case TBackupProposal::Ask: {
      const std::string answer = ShowMessageDialog(
          "Informacja", "i", "Propozycja wykonania kopii plików danych.;;Czy chcesz wykonać kopię plików danych ?",
          "Tak Nie Wyłącz_proponowanie_kopii");
      if (answer == "W")
        SwitchBackupProposalsOff();
      else if (answer == "T")
        BitBtn9Click();
      break;
    }
    case TBackupProposal::Force:
      ShowMessageDialog("Informacja", "i", "Wykonana zostanie kopia plików danych.", "Dalej");
      ForcedBackup = true;
      BitBtn9Click();
      break;
  }
}

void TEkr_Ruv::mouseDoubleClickEvent(QMouseEvent* e) {
  FormDblClick();
  QMainWindow::mouseDoubleClickEvent(e);
}

void TEkr_Ruv::FormDblClick() {
  const QRect screenRect = screen()->geometry();
  const QRect frame = frameGeometry();
  move((screenRect.width() - frame.width()) / 2, (screenRect.height() - frame.height()) / 2);
}

bool TEkr_Ruv::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::KeyPress) {
    auto* k = static_cast<QKeyEvent*>(e);
    const bool ctrlT = k->text() == QString(QChar(0x14)) ||
                       (k->key() == Qt::Key_T && (k->modifiers() & Qt::ControlModifier));
    if (ctrlT) BitBtn3KeyPress();
  }
  return QMainWindow::eventFilter(watched, e);
}

void TEkr_Ruv::BitBtn3KeyPress() {
  move(0, 0);
  try {
    TIniFile ini = OpenIni(TIniKind::Admin);
    WriteSettingInt(ini, Keys::PolozenieGora, 0);
    WriteSettingInt(ini, Keys::PolozenieLewo, 0);
  } catch (const EIniFileException&) {
  }
}

void TEkr_Ruv::RefreshProgramButtons() {
  for (const auto& p : kSiblings) ProgramButton(p)->setEnabled(true);
  TIniFile ini = OpenIni(TIniKind::Admin);
  std::array<std::string, 6> dirs;
  bool allEmpty = true;
  for (size_t i = 0; i < kSiblings.size(); ++i) {
    dirs[i] = ReadProgramDir(ini, kSiblings[i]);
    allEmpty = allEmpty && dirs[i].empty();
  }
  if (allEmpty) ShowMessageDialog("Błąd", "h", "Brak informacji o położeniu programów !", "Dalej");
  for (size_t i = 0; i < kSiblings.size(); ++i) {
    const TSiblingProgram& p = kSiblings[i];
    const std::string dir = DirPath(dirs[i]);
    if (dir.empty() || !FileThere(dir + p.InstTable) || !FileThere(dir + p.ExeName)) {
      ProgramButton(p)->setEnabled(false);
      continue;
    }
    (p.Family ? Ruv_inst : mrt_inst).SetDbfFileName(dir + p.InstTable);
  }
  // The reader is looked for in SL's directory, and only when that is not
  // set, in Dravon's.
  const std::string sl = DirPath(dirs[&kSL - kSiblings.data()]);
  const std::string dravon = DirPath(dirs[&kDravon - kSiblings.data()]);
  Programdoodczytywaniainformacjikadrowych1->setEnabled(false);
  if (!sl.empty())
    Programdoodczytywaniainformacjikadrowych1->setEnabled(FileThere(sl + kReaderExeName));
  else if (!dravon.empty())
    Programdoodczytywaniainformacjikadrowych1->setEnabled(FileThere(dravon + kReaderExeName));

  bool any = false;
  for (const auto& p : kSiblings) any = any || ProgramButton(p)->isEnabled();
  BitBtn9->setEnabled(any);
  BitBtn8->setEnabled(any);
}

void TEkr_Ruv::LaunchFrom(const std::string& dirSetting, const char* launchName) {
  // The program gets its directory as working directory when it starts;
  // this process's own current directory is never changed.
  const std::string dir = DirPath(dirSetting);
  if (dir.empty() || !plat::IsDirectory(dir)) {
    ShowMessageDialog("Błąd", "h", "Nie ma możliwości uruchomienia programu !", "Zakończ");
    return;
  }
  const std::string text = LaunchErrorText(LaunchProgram(dir, launchName));
  if (!text.empty()) ShowMessageDialog("Błąd uruchomienia programu", "h", text, "Zakończ");
}

void TEkr_Ruv::LaunchSibling(const TSiblingProgram& p) {
  TIniFile ini = OpenIni(TIniKind::Admin);
  LaunchFrom(ReadProgramDir(ini, p), p.LaunchName);
}

void TEkr_Ruv::BitBtn3Click() { LaunchSibling(kTamir); }
void TEkr_Ruv::BitBtn2Click() { LaunchSibling(kGorvalo); }
void TEkr_Ruv::BitBtn1Click() { LaunchSibling(kSL); }
void TEkr_Ruv::BitBtn4Click() { LaunchSibling(kDravon); }
void TEkr_Ruv::BitBtn7Click() { LaunchSibling(kKelpiro); }
void TEkr_Ruv::BitBtn6Click() { LaunchSibling(kMorta); }

void TEkr_Ruv::Programdoodczytywaniainformacjikadrowych1Click() {
  TIniFile ini = OpenIni(TIniKind::Admin);
  const std::string sl = ReadProgramDir(ini, kSL);
  const std::string dravon = ReadProgramDir(ini, kDravon);
  // Dravon's directory first; but the menu item was enabled by finding the
  // reader in SL's directory first, so when it is not in the preferred
  // one, it starts from where that check found it.
  const std::string preferred = !dravon.empty() ? dravon : sl;
  if (preferred.empty()) return;
  const std::string checked = !sl.empty() ? sl : dravon;
  const bool inPreferred = FileThere(DirPath(preferred) + kReaderExeName);
  const bool inChecked = FileThere(DirPath(checked) + kReaderExeName);
  LaunchFrom(!inPreferred && inChecked ? checked : preferred, kReaderLaunchName);
}

bool TEkr_Ruv::ProgramsRunning(const std::vector<const TSiblingProgram*>& programs) {
  std::vector<std::string> names;
  for (const auto* p : programs) names.push_back(p->ExeName);
  if (FirstRunning(names).empty()) return false;
  ShowMessageDialog("Problem", "!", "Przed uruchomieniem tej funkcji zakończ działanie programów dla ruv.", "Zakończ");
  return true;
}

void TEkr_Ruv::Parametry1Click() {
  if (ProgramsRunning(AllSiblings())) return;
  {
    TEkruv_par settings(this);
    TIniFile ini = OpenIni(TIniKind::Admin);
    const std::pair<QLineEdit*, const TSiblingProgram*> fields[] = {
        {settings.Edit1, &kTamir}, {settings.Edit2, &kGorvalo}, {settings.Edit3, &kSL},
        {settings.Edit4, &kDravon}, {settings.Edit7, &kKelpiro}, {settings.Edit6, &kMorta},
    };
    for (const auto& [edit, program] : fields) edit->setText(QStr(ReadProgramDir(ini, *program)));
    settings.exec();
  }
  RefreshProgramButtons();
}

void TEkr_Ruv::BitBtn8Click() {
  if (ProgramsRunning(AllSiblings())) return;
  if (BitBtn8->isEnabled() && Adm_ftp) Adm_ftp->exec();
}

void TEkr_Ruv::Zakocz1Click() { close(); }

std::unique_ptr<TEkr_Ruv> CreateProgramWindows() {
  const std::vector<std::string> notices = FinishInterruptedWork();
  auto main = std::make_unique<TEkr_Ruv>();
  // Lives as long as the main window, which owns it.
  auto* updateWindow = new TAdm_ftp(main.get());
  TEkr_Ruv* w = main.get();
  updateWindow->SetInstalledQuery([w](const TSiblingProgram& p) { return w->ProgramButton(p)->isEnabled(); });
  updateWindow->SetInstallationTables(&w->Ruv_inst, &w->mrt_inst);
  for (const std::string& notice : notices) ShowMessageDialog("Informacja", "i", notice, "Dalej");
  return main;
}
