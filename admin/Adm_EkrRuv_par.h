// The settings window: the six sibling directories ("ruv_admin.ini"
// [katalogi]) and the family's shared settings ("ruv.ini" [ustawienia] and
// [opcje]). The caller fills the six directory fields, shows the window
// modally and refreshes its launch buttons afterwards; nothing reaches the
// files before "Zatwierdź" except the erasure of the directory settings.
#pragma once
#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QWidget;
class TRadioGroup;

class TEkruv_par : public QDialog {
  Q_OBJECT

 public:
  explicit TEkruv_par(QWidget* parent = nullptr);

  QTabWidget* PageControl1;
  QWidget* TabSheet1;  // "Katalogi programów"
  QWidget* TabSheet2;  // "Ogólne"
  QLabel* Label9;
  QPushButton* BitBtn7;  // "Zatwierdź"
  QPushButton* BitBtn8;  // "Zamknij"

  QGroupBox *GroupBox1, *GroupBox2, *GroupBox3, *GroupBox4, *GroupBox6, *GroupBox7;
  QLineEdit *Edit1, *Edit2, *Edit3, *Edit4, *Edit6, *Edit7;
  QPushButton *BitBtn1, *BitBtn2, *BitBtn3, *BitBtn4, *BitBtn6, *BitBtn9;
  QPushButton* BitBtn5;  // "Usuń informacje o katalogach programów"

  QGroupBox* GroupBox10;
  QCheckBox* CheckBox1;
  QLineEdit* Edit8;
  QLabel* Label2;
  QCheckBox* CheckBox6;
  QGroupBox* GroupBox5;
  QRadioButton *RadioButton1, *RadioButton2;
  TRadioGroup* RadioGroup1;
  QGroupBox* GroupBox11;
  QCheckBox* CheckBox2;
  QLineEdit* Edit9;
  QLabel* Label4;
  QLabel* Label5;
  QLineEdit* Edit10;
  QPushButton* BitBtn11;
  QLabel* Label6;
  QCheckBox* CheckBox5;
  QCheckBox* CheckBox3;
  QCheckBox* CheckBox4;
  QLineEdit* Edit5;
  QLabel* Label1;
  TRadioGroup* RadioGroup2;

  void FormShow();
  // Saves every setting; false (the window stays open) when a value
  // cannot be stored.
  bool BitBtn7Click();
  // The seven "zmień" buttons.
  void BitBtn1Click(QPushButton* Sender);
  void BitBtn5Click();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QString label9Caption_;
};
