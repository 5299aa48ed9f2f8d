#include "admin/Adm_EkRuv_proposals.h"

#include "admin/IniFiles.h"
#include "admin/Siblings.h"
#include "tablebase/timedate.h"
#include "tablebase/tzutils.h"

namespace {

// Days from a stored date to today; a text that is no valid date (edited by
// hand, damaged) gives `invalidDays` instead of the engine's date error,
// which would stop the program.
int32_t DaysSince(const std::string& stored, int32_t invalidDays) {
  if (!IsValidDate(stored)) return invalidDays;
  AutoErrorHandlingScope quiet(false);
  const int32_t days = DateDiff(TodayText(), stored);
  return LastErrorCode() == 0 ? days : invalidDays;
}

constexpr int32_t kLongAgo = INT32_MAX;

}  // namespace

void WriteFirstRunDefaults() {
  TIniFile admin = OpenIni(TIniKind::Admin);
  if (ReadSetting(admin, Keys::CzyPierwszy) != "Tak") return;
  try {
    TIniFile ruv = OpenIni(TIniKind::Ruv);
    WriteSetting(ruv, Keys::ProponujAktualizacje, "Tak");
    WriteSetting(ruv, Keys::ProponujAktualizacjeCoIle, "30");
    WriteSetting(ruv, Keys::CzyZapisInfOAktualizacji, "0");
    WriteSetting(ruv, Keys::MozliwoscAktualizowaniaZPliku, "Nie");
    WriteSetting(ruv, Keys::ProponujKopie, "Tak");
    WriteSetting(ruv, Keys::ProponujKopieCoIle, "5");
    WriteSetting(ruv, Keys::ProponujKopieBezDanychOsobowych, "0");
    WriteSetting(ruv, Keys::KatalogKopii, "");
    WriteSetting(ruv, Keys::LogMaxLinii, "10000");
    WriteSetting(admin, Keys::CzyPierwszy, "Nie");
  } catch (const EIniFileException&) {
  }
}

bool UpdateCheckDue() {
  const TIniFile ini = OpenIni(TIniKind::Ruv);
  if (ReadSetting(ini, Keys::ProponujAktualizacje) != "Tak") return false;
  const int32_t days = ReadSettingInt(ini, Keys::ProponujAktualizacjeCoIle);
  return DaysSince(ReadSetting(ini, Keys::ProponujAktualizacjeKiedy), kLongAgo) > days;
}

TBackupProposal BackupProposalDue() {
  const TIniFile ini = OpenIni(TIniKind::Ruv);
  if (ReadSetting(ini, Keys::ProponujKopie) != "Tak") return TBackupProposal::None;
  const int32_t days = ReadSettingInt(ini, Keys::ProponujKopieCoIle);
  if (DaysSince(ReadSetting(ini, Keys::ProponujKopieKiedy), kLongAgo) <= days) return TBackupProposal::None;
  return ReadSetting(ini, Keys::WymuszajKopie) == "Nie" ? TBackupProposal::Ask : TBackupProposal::Force;
}

void SwitchBackupProposalsOff() {
  try {
    TIniFile ini = OpenIni(TIniKind::Ruv);
    WriteSetting(ini, Keys::ProponujKopie, "Nie");
    WriteSetting(ini, Keys::WymuszajKopie, "Nie");
  } catch (const EIniFileException&) {
  }
}
