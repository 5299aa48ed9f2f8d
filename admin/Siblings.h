// The six sibling programs, the personnel-information reader, every key of
// the two settings files, and where the program and its settings live.
// Every window reads names and keys from here rather than spelling them.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "admin/IniFiles.h"

struct TSiblingProgram {
  const char* Name;         // "Tamir"
  const char* ButtonName;   // the main window's launch button
  const char* Caption;      // the launch button's caption
  const char* UpdateTitle;  // the title in the update report and the check
  const char* DownloadTitle;  // the title in the download's lines
  const char* UpdateKey;    // key in "ruv.ini" [aktualizacje]
  const char* DirKey;       // key in "ruv_admin.ini" [katalogi]
  const char* Archive;      // update archive on the server
  const char* ExeName;      // executable, for the running test and the installed test
  const char* LaunchName;   // the name the launch looks for, without extension
  const char* InstTable;    // installation table in the program's directory
  bool Family;              // one of the five "programy dla ruv" (not Morta)
};

// In the standard order: the running test, the button refresh and the
// [katalogi] writes all go this way.
extern const std::array<TSiblingProgram, 6> kSiblings;
inline const TSiblingProgram& kTamir = kSiblings[0];
inline const TSiblingProgram& kGorvalo = kSiblings[1];
inline const TSiblingProgram& kSL = kSiblings[2];
inline const TSiblingProgram& kDravon = kSiblings[3];
inline const TSiblingProgram& kKelpiro = kSiblings[4];
inline const TSiblingProgram& kMorta = kSiblings[5];

// The personnel-information reader: no directory of its own, looked for in
// the directories of Dravon and SL.
inline constexpr const char* kReaderExeName = "Ruv_Fenvo.exe";
inline constexpr const char* kReaderLaunchName = "Ruv_Fenvo";

enum class TIniKind { Admin, Ruv };  // "ruv_admin.ini", "ruv.ini"

struct TSettingKey {
  TIniKind File;
  const char* Section;
  const char* Key;
  const char* Default;  // as text; integers and Booleans ("0"/"1") too
};

// Every key the program reads or writes. A key whose readers disagree on
// the default has one entry per default.
namespace Keys {
inline constexpr const char* kUstawienia = "ustawienia";
inline constexpr const char* kKatalogi = "katalogi";
inline constexpr const char* kOpcje = "opcje";
inline constexpr const char* kAktualizacje = "aktualizacje";

// "ruv_admin.ini"
inline constexpr TSettingKey CzyPierwszy{TIniKind::Admin, kUstawienia, "czy_pierwszy", "Tak"};
inline constexpr TSettingKey PolozenieGora{TIniKind::Admin, kUstawienia, "polozenie_gora", "0"};
inline constexpr TSettingKey PolozenieLewo{TIniKind::Admin, kUstawienia, "polozenie_lewo", "0"};
// [katalogi] holds one key per sibling (TSiblingProgram::DirKey); the
// default is a rule, see DefaultProgramDir.

// "ruv.ini"
inline constexpr TSettingKey ProponujAktualizacje{TIniKind::Ruv, kUstawienia, "proponuj_aktualizacje", "Tak"};
inline constexpr TSettingKey ProponujAktualizacjeCoIle{TIniKind::Ruv, kUstawienia, "proponuj_aktualizacje_co_ile",
                                                       "30"};
inline constexpr TSettingKey ProponujAktualizacjeKiedy{TIniKind::Ruv, kUstawienia, "proponuj_aktualizacje_kiedy",
                                                       "15.10.2006"};
inline constexpr TSettingKey CzyZapisInfOAktualizacji{TIniKind::Ruv, kUstawienia, "czy_zapis_inf_o_aktualizacji",
                                                      "0"};
inline constexpr TSettingKey MozliwoscAktualizowaniaZPliku{TIniKind::Ruv, kUstawienia,
                                                           "mozliwosc_aktualizowania_z_pliku", "Nie"};
inline constexpr TSettingKey TrybFtp{TIniKind::Ruv, kUstawienia, "tryb_ftp", "A"};
inline constexpr TSettingKey ProponujKopie{TIniKind::Ruv, kUstawienia, "proponuj_kopie", "Tak"};
// The backup proposal counts 10 days when the key is missing; the settings
// window shows 5.
inline constexpr TSettingKey ProponujKopieCoIle{TIniKind::Ruv, kUstawienia, "proponuj_kopie_co_ile", "10"};
inline constexpr TSettingKey ProponujKopieCoIleShown{TIniKind::Ruv, kUstawienia, "proponuj_kopie_co_ile", "5"};
inline constexpr TSettingKey ProponujKopieKiedy{TIniKind::Ruv, kUstawienia, "proponuj_kopie_kiedy", "15.10.2006"};
inline constexpr TSettingKey WymuszajKopie{TIniKind::Ruv, kUstawienia, "wymuszaj_kopie", "Nie"};
inline constexpr TSettingKey ProponujKopieBezDanychOsobowych{TIniKind::Ruv, kUstawienia,
                                                             "proponuj_kopie_bez_danych_osobowych", "0"};
inline constexpr TSettingKey KatalogKopii{TIniKind::Ruv, kUstawienia, "katalog_kopii", ""};
inline constexpr TSettingKey UsuwacStarszeKopie{TIniKind::Ruv, kUstawienia, "usuwac_starsze_kopie", "Nie"};
inline constexpr TSettingKey UsuwacStarszeKopieIleDni{TIniKind::Ruv, kUstawienia, "usuwac_starsze_kopie_ile_dni",
                                                      "3650"};
inline constexpr TSettingKey LogMaxLinii{TIniKind::Ruv, kOpcje, "log_max_linii", "10000"};
// [aktualizacje]: one date key per sibling (TSiblingProgram::UpdateKey),
// "15.10.2005" in the update check and "brak danych" in the update report.
inline constexpr const char* kUpdateDateDefault = "15.10.2005";
inline constexpr const char* kUpdateDateUnknown = "brak danych";
inline constexpr TSettingKey Wykonano{TIniKind::Ruv, kAktualizacje, "wykonano", "brak danych"};
}  // namespace Keys

inline constexpr const char* kAdminIniName = "ruv_admin.ini";
inline constexpr const char* kRuvIniName = "ruv.ini";

// The directory of the running executable with a trailing "/". Tests put
// the program in a temporary tree with SetProgramDir (an empty text goes
// back to the executable's directory).
std::string ProgramDir();
void SetProgramDir(std::string dir);
// The running executable itself (links resolved).
std::string ProgramFile();

// The settings file of that kind, by full path in the program directory.
TIniFile OpenIni(TIniKind kind);

// A key's value, or its default; integers and Booleans as the INI class
// reads them.
std::string ReadSetting(const TIniFile& ini, const TSettingKey& key);
int32_t ReadSettingInt(const TIniFile& ini, const TSettingKey& key);
bool ReadSettingBool(const TIniFile& ini, const TSettingKey& key);
// REQUIRES: `ini` is the file `key` belongs to.
void WriteSetting(TIniFile& ini, const TSettingKey& key, std::string_view value);
void WriteSettingInt(TIniFile& ini, const TSettingKey& key, int32_t value);
void WriteSettingBool(TIniFile& ini, const TSettingKey& key, bool value);

// Blanks and control characters cut at both ends, as every reader of a
// directory setting does.
std::string TrimBoth(std::string_view s);

// The default directory of a sibling when its [katalogi] key is missing:
// the program directory for the family, and for Morta the directory
// "Morta/" beside the program directory ("/Morta/" when the program
// directory is "/"). Every reader of the morta key uses this one rule.
std::string DefaultProgramDir(const TSiblingProgram& p);
// The sibling's [katalogi] value, trimmed, or the default when the key is
// missing. A key present with a blank value gives "".
std::string ReadProgramDir(const TIniFile& adminIni, const TSiblingProgram& p);

// A directory setting as a path to use: either separator accepted, and a
// trailing "/" added when missing. "" stays "".
std::string DirPath(std::string_view dirSetting);
