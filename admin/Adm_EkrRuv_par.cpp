#include "admin/Adm_EkrRuv_par.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

#include <array>
#include <utility>

#include "admin/AdmUi.h"
#include "admin/IniFiles.h"
#include "admin/Siblings.h"
#include "admin/USzukZb.h"
#include "tablebase/tzcommon.h"
#include "tablebase_ui/tzdialog.h"

namespace {

// The event-log limits of RadioGroup2's items.
constexpr std::array<int32_t, 4> kLogLimits = {5000, 10000, 50000, 99999};

const char* TakNie(bool on) { return on ? "Tak" : "Nie"; }

std::string Trimmed(const QLineEdit* e) { return TrimBoth(StdStr(e->text())); }

QString GroupCaption(const TSiblingProgram& p) {
  return QStr(std::string(" Katalog programu \"") + p.Caption + "\" ");
}

}  // namespace

TEkruv_par::TEkruv_par(QWidget* parent) : QDialog(parent) {
  SetUpDialog(*this, "Ekruv_par", "Parametry", 800, 502);

  PageControl1 = Place<QTabWidget>(this, "PageControl1", 8, 8, 784, 448);
  TabSheet1 = new QWidget;
  TabSheet1->setObjectName("TabSheet1");
  TabSheet2 = new QWidget;
  TabSheet2->setObjectName("TabSheet2");
  PageControl1->addTab(TabSheet1, "Katalogi programów");
  PageControl1->addTab(TabSheet2, "Ogólne");

  Label9 = Place<QLabel>(this, "Label9", 12, 468, 380, 17, "data wykonania programu:");
  BitBtn7 = Place<QPushButton>(this, "BitBtn7", 594, 464, 95, 27, "Zatwierdź");
  BitBtn8 = Place<QPushButton>(this, "BitBtn8", 697, 464, 95, 27, "Zamknij");
  label9Caption_ = Label9->text();

  // Page "Katalogi programów": one group per sibling, in the standard order.
  struct DirRow {
    QGroupBox** box;
    const char* boxName;
    QLineEdit** edit;
    const char* editName;
    QPushButton** button;
    const char* buttonName;
    const TSiblingProgram* program;
  };
  const DirRow rows[] = {
      {&GroupBox1, "GroupBox1", &Edit1, "Edit1", &BitBtn1, "BitBtn1", &kTamir},
      {&GroupBox2, "GroupBox2", &Edit2, "Edit2", &BitBtn2, "BitBtn2", &kGorvalo},
      {&GroupBox3, "GroupBox3", &Edit3, "Edit3", &BitBtn3, "BitBtn3", &kSL},
      {&GroupBox4, "GroupBox4", &Edit4, "Edit4", &BitBtn4, "BitBtn4", &kDravon},
      {&GroupBox7, "GroupBox7", &Edit7, "Edit7", &BitBtn9, "BitBtn9", &kKelpiro},
      {&GroupBox6, "GroupBox6", &Edit6, "Edit6", &BitBtn6, "BitBtn6", &kMorta},
  };
  int top = 10;
  for (const auto& r : rows) {
    *r.box = Place<QGroupBox>(TabSheet1, r.boxName, 10, top, 760, 54, GroupCaption(*r.program));
    *r.edit = Place<QLineEdit>(*r.box, r.editName, 10, 22, 644, 23);
    *r.button = Place<QPushButton>(*r.box, r.buttonName, 664, 21, 86, 25, "zmień");
    top += 60;
  }
  BitBtn5 = Place<QPushButton>(TabSheet1, "BitBtn5", 10, top + 8, 330, 27, "Usuń informacje o katalogach programów");

  // Page "Ogólne".
  GroupBox10 = Place<QGroupBox>(TabSheet2, "GroupBox10", 8, 6, 764, 152, " Aktualizacje programów ");
  CheckBox1 = Place<QCheckBox>(GroupBox10, "CheckBox1", 10, 22, 640, 19,
                               "proponuj okresowe sprawdzanie aktualizacji - częstotliwość sprawdzenia aktualizacji:");
  Edit8 = Place<QLineEdit>(GroupBox10, "Edit8", 654, 20, 52, 23);
  Label2 = Place<QLabel>(GroupBox10, "Label2", 712, 23, 40, 17, "[dni]");
  CheckBox6 = Place<QCheckBox>(GroupBox10, "CheckBox6", 10, 48, 600, 19,
                               "wyłącz zapisywanie informacji o pobraniu aktualizacji (niezalecane)");
  GroupBox5 = Place<QGroupBox>(GroupBox10, "GroupBox5", 10, 74, 400, 70,
                               " sposób sprawdzania dostępności i wykonywania aktualizacji ");
  RadioButton1 = Place<QRadioButton>(GroupBox5, "RadioButton1", 10, 22, 300, 19, "przez internet");
  RadioButton2 = Place<QRadioButton>(GroupBox5, "RadioButton2", 10, 44, 300, 19, "z dostarczonego pliku");
  RadioGroup1 = Place<TRadioGroup>(GroupBox10, "RadioGroup1", 420, 74, 334, 70, " tryb połączenia ftp ",
                                   QStringList{"aktywny", "pasywny"}, 2);

  GroupBox11 = Place<QGroupBox>(TabSheet2, "GroupBox11", 8, 164, 764, 188, " Kopia plików danych ");
  CheckBox2 = Place<QCheckBox>(GroupBox11, "CheckBox2", 10, 22, 640, 19,
                               "proponuj okresowe wykonywanie kopii plików danych - częstotliwość wykonywania kopii:");
  Edit9 = Place<QLineEdit>(GroupBox11, "Edit9", 654, 20, 52, 23);
  Label4 = Place<QLabel>(GroupBox11, "Label4", 712, 23, 40, 17, "[dni]");
  // Directories end in "/", so that is the closing separator the caption
  // asks for; the backup and the backup list read a directory typed with
  // "\" separators, or with no closing one, the same way.
  Label5 = Place<QLabel>(GroupBox11, "Label5", 10, 48, 400, 17, "kopię umieszczać w katalogu (znak \"/\" na końcu):");
  Edit10 = Place<QLineEdit>(GroupBox11, "Edit10", 10, 68, 550, 23);
  BitBtn11 = Place<QPushButton>(GroupBox11, "BitBtn11", 568, 67, 86, 25, "zmień");
  Label6 = Place<QLabel>(GroupBox11, "Label6", 10, 94, 300, 17, "pusty = katalog programu");
  CheckBox5 = Place<QCheckBox>(
      GroupBox11, "CheckBox5", 10, 116, 740, 19,
      "kopię wykonać z pominięciem danych osobowych (pliki: \"osoby.dbf\" i \"osoby.dbt\") - jednorazowo");
  CheckBox3 = Place<QCheckBox>(GroupBox11, "CheckBox3", 10, 138, 500, 19,
                               "wykonania kopii plików danych nie będzie można pominąć");
  CheckBox4 = Place<QCheckBox>(GroupBox11, "CheckBox4", 10, 161, 190, 19, "usuwać kopie starsze o:");
  Edit5 = Place<QLineEdit>(GroupBox11, "Edit5", 204, 159, 60, 23);
  Label1 = Place<QLabel>(GroupBox11, "Label1", 270, 162, 40, 17, "[dni]");

  RadioGroup2 = Place<TRadioGroup>(
      TabSheet2, "RadioGroup2", 8, 358, 764, 50,
      " Rozmiar dzienników zdarzeń (liczba zapisów w dzienniku każdego z programów) ",
      QStringList{"5 000", "10 000", "50 000", "bez limitu"}, 4);
  RadioGroup2->SetItemIndex(0);

  for (QPushButton* b : findChildren<QPushButton*>()) b->setAutoDefault(false);
  connect(BitBtn7, &QPushButton::clicked, this, [this] {
    if (BitBtn7Click()) accept();
  });
  connect(BitBtn8, &QPushButton::clicked, this, &QDialog::reject);
  connect(BitBtn5, &QPushButton::clicked, this, [this] {
    BitBtn5Click();
    accept();
  });
  for (QPushButton* b : {BitBtn1, BitBtn2, BitBtn3, BitBtn4, BitBtn6, BitBtn9, BitBtn11})
    connect(b, &QPushButton::clicked, this, [this, b] { BitBtn1Click(b); });
}

void TEkruv_par::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormShow();
}

void TEkruv_par::FormShow() {
  TIniFile ini = OpenIni(TIniKind::Ruv);
  CheckBox1->setChecked(ReadSetting(ini, Keys::ProponujAktualizacje) == "Tak");
  Edit8->setText(QString::number(ReadSettingInt(ini, Keys::ProponujAktualizacjeCoIle)));
  CheckBox6->setChecked(ReadSettingBool(ini, Keys::CzyZapisInfOAktualizacji));
  if (ReadSetting(ini, Keys::MozliwoscAktualizowaniaZPliku) == "Tak")
    RadioButton2->setChecked(true);
  else
    RadioButton1->setChecked(true);
  RadioGroup1->SetItemIndex(ReadSetting(ini, Keys::TrybFtp) == "A" ? 0 : 1);
  if (ReadSetting(ini, Keys::ProponujKopie) == "Tak") {
    CheckBox2->setChecked(true);
    CheckBox3->setChecked(ReadSetting(ini, Keys::WymuszajKopie) == "Tak");
  } else {
    CheckBox2->setChecked(false);
    CheckBox3->setChecked(false);
  }
  Edit9->setText(QString::number(ReadSettingInt(ini, Keys::ProponujKopieCoIleShown)));
  CheckBox5->setChecked(ReadSettingBool(ini, Keys::ProponujKopieBezDanychOsobowych));
  Edit10->setText(QStr(ReadSetting(ini, Keys::KatalogKopii)));
  CheckBox4->setChecked(ReadSetting(ini, Keys::UsuwacStarszeKopie) == "Tak");
  Edit5->setText(QString::number(ReadSettingInt(ini, Keys::UsuwacStarszeKopieIleDni)));
  const int32_t logLimit = ReadSettingInt(ini, Keys::LogMaxLinii);
  for (size_t i = 0; i < kLogLimits.size(); ++i)
    if (kLogLimits[i] == logLimit) RadioGroup2->SetItemIndex(int(i));
  // The date of this program's own file, whatever the current directory.
  Label9->setText(label9Caption_ + " " + QStr(FileStamp(ProgramFile()).substr(0, 10)));
  PageControl1->setCurrentIndex(1);
}

bool TEkruv_par::BitBtn7Click() {
  const std::pair<QLineEdit*, const TSiblingProgram*> dirs[] = {
      {Edit1, &kTamir}, {Edit2, &kGorvalo}, {Edit3, &kSL}, {Edit4, &kDravon}, {Edit7, &kKelpiro}, {Edit6, &kMorta},
  };
  // The files are Windows-1250: a directory named with other characters
  // cannot be stored, and nothing is written rather than a mangled name.
  for (QLineEdit* e : {Edit1, Edit2, Edit3, Edit4, Edit7, Edit6, Edit10}) {
    if (IniCanHold(Trimmed(e))) continue;
    ShowMessageDialog("Błąd", "h", IniCannotHoldDirText(Trimmed(e)), "Popraw");
    e->setFocus();
    return false;
  }
  try {
    TIniFile ruv = OpenIni(TIniKind::Ruv);
    WriteSetting(ruv, Keys::ProponujAktualizacje, TakNie(CheckBox1->isChecked()));
    WriteSettingInt(ruv, Keys::ProponujAktualizacjeCoIle, StrToIntDef(Trimmed(Edit8), 30));
    WriteSettingBool(ruv, Keys::CzyZapisInfOAktualizacji, CheckBox6->isChecked());
    WriteSetting(ruv, Keys::MozliwoscAktualizowaniaZPliku, TakNie(RadioButton2->isChecked()));
    WriteSetting(ruv, Keys::TrybFtp, RadioGroup1->ItemIndex() == 0 ? "A" : "P");
    if (CheckBox2->isChecked()) {
      WriteSetting(ruv, Keys::ProponujKopie, "Tak");
      WriteSetting(ruv, Keys::WymuszajKopie, TakNie(CheckBox3->isChecked()));
    } else {
      WriteSetting(ruv, Keys::ProponujKopie, "Nie");
      WriteSetting(ruv, Keys::WymuszajKopie, "Nie");
    }
    WriteSettingInt(ruv, Keys::ProponujKopieCoIle, StrToIntDef(Trimmed(Edit9), 5));
    WriteSetting(ruv, Keys::UsuwacStarszeKopie, TakNie(CheckBox4->isChecked()));
    WriteSettingInt(ruv, Keys::UsuwacStarszeKopieIleDni, StrToIntDef(Trimmed(Edit5), 3650));
    WriteSettingBool(ruv, Keys::ProponujKopieBezDanychOsobowych, CheckBox5->isChecked());
    WriteSetting(ruv, Keys::KatalogKopii, Trimmed(Edit10));
    const int item = RadioGroup2->ItemIndex();
    if (item >= 0) WriteSettingInt(ruv, Keys::LogMaxLinii, kLogLimits[size_t(item)]);

    TIniFile admin = OpenIni(TIniKind::Admin);
    for (const auto& [edit, program] : dirs) admin.WriteString(Keys::kKatalogi, program->DirKey, Trimmed(edit));
  } catch (const EIniFileException& e) {
    ShowMessageDialog("Błąd", "h", e.what(), "Zakończ");
    return false;
  }
  if (CheckBox5->isChecked())
    ShowMessageDialog("Informacja", "i",
                      "Kopia bez danych osobowych wykonana zostanie tylko jednorazowo - po wykonaniu kopii opcja "
                      "zostanie usunięta. ",
                      "Dalej");
  return true;
}

void TEkruv_par::BitBtn1Click(QPushButton* Sender) {
  const bool backupDir = Sender == BitBtn11;
  QLineEdit* field = backupDir ? Edit10 : Sender->parentWidget()->findChild<QLineEdit*>();
  const QString title = backupDir ? QString("Katalog dla kopii bezpieczeństwa plików danych")
                                  : qobject_cast<QGroupBox*>(Sender->parentWidget())->title();
  TEkSzukaj search(this);
  if (backupDir) search.Label1->setText(TEkSzukaj::kBackupDirMarker);
  search.setWindowTitle(title);
  search.Edit1->clear();
  search.exec();
  const std::string chosen = TrimBoth(StdStr(search.Edit1->text()));
  if (chosen.empty()) return;
  // A directory text ends in "/"; one chosen with it (the root) keeps one.
  field->setText(QStr(chosen.back() == '/' ? chosen : chosen + "/"));
}

void TEkruv_par::BitBtn5Click() {
  if (ShowMessageDialog("Potwierdzenie", "?", "Potwierdź usunięcie informacji o katalogach.", "Nie Tak") != "T")
    return;
  try {
    TIniFile admin = OpenIni(TIniKind::Admin);
    admin.EraseSection(Keys::kKatalogi);
  } catch (const EIniFileException& e) {
    ShowMessageDialog("Błąd", "h", e.what(), "Zakończ");
  }
}
