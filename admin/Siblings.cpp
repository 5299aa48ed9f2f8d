#include "admin/Siblings.h"

#include <unistd.h>

#include <charconv>
#include <climits>

#include "platform/pfs.h"

const std::array<TSiblingProgram, 6> kSiblings = {{
    {"Tamir", "BitBtn3", "RUV - Tamir", "RUV-Tamir", "RUV-Tamir", "Tamir", "ruv_tamir", "RuvTM.zip", "Ruv_TM.exe", "Ruv_TM",
     "ruv_inst.dbf", true},
    {"Gorvalo", "BitBtn2", "RUV - Gorvalo", "RUV-Gorvalo", "RUV-Gorvalo", "Gorvalo", "ruv_gorvalo", "RuvGRV.zip", "Ruv_grvl.exe",
     "Ruv_Grvl", "ruv_inst.dbf", true},
    {"SL", "BitBtn1", "RUV - Selmira", "RUV-Selmira", "RUV-Selmira", "SL", "ruv_sl", "RuvSL.zip", "Ruv_SL.exe", "Ruv_SL",
     "ruv_inst.dbf", true},
    {"Dravon", "BitBtn4", "RUV - Dravon i Pelk", "RUV-Dravon Pelk", "RUV-Dravon Pelk", "Dravon", "ruv_dravon", "RuvDQN.zip", "Ruv_D.exe",
     "Ruv_D", "ruv_inst.dbf", true},
    {"Kelpiro", "BitBtn7", "RUV - Kelpiro", "RUV-Kelpiro", "Kelpiro ruv", "Kelpiro", "ruv_kelpiro", "RuvKelpiro.zip",
     "Ruv_Kelpiro.exe", "Ruv_Kelpiro", "ruv_inst.dbf", true},
    {"Morta", "BitBtn6", "MORTA - Velden", "MORTA-Velden", "MORTA-Velden", "Morta", "morta", "Mrt.zip", "Morta.exe", "MORTA",
     "mrt_inst.dbf", false},
}};

namespace {

std::string& ProgramDirOverride() {
  static std::string dir;
  return dir;
}

// The table's integer defaults are plain decimal numbers.
int32_t IntDefault(const TSettingKey& key) {
  int32_t v = 0;
  std::string_view d(key.Default);
  std::from_chars(d.data(), d.data() + d.size(), v);
  return v;
}

}  // namespace

std::string ProgramFile() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, size_t(n));
}

std::string ProgramDir() {
  if (!ProgramDirOverride().empty()) return ProgramDirOverride();
  std::string exe = ProgramFile();
  return exe.substr(0, exe.rfind('/') + 1);
}

void SetProgramDir(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  ProgramDirOverride() = std::move(dir);
}

TIniFile OpenIni(TIniKind kind) {
  return TIniFile(ProgramDir() + (kind == TIniKind::Admin ? kAdminIniName : kRuvIniName));
}

std::string ReadSetting(const TIniFile& ini, const TSettingKey& key) {
  return ini.ReadString(key.Section, key.Key, key.Default);
}

int32_t ReadSettingInt(const TIniFile& ini, const TSettingKey& key) {
  return ini.ReadInteger(key.Section, key.Key, IntDefault(key));
}

bool ReadSettingBool(const TIniFile& ini, const TSettingKey& key) {
  return ini.ReadBool(key.Section, key.Key, IntDefault(key) != 0);
}

void WriteSetting(TIniFile& ini, const TSettingKey& key, std::string_view value) {
  ini.WriteString(key.Section, key.Key, value);
}

void WriteSettingInt(TIniFile& ini, const TSettingKey& key, int32_t value) {
  ini.WriteInteger(key.Section, key.Key, value);
}

void WriteSettingBool(TIniFile& ini, const TSettingKey& key, bool value) { ini.WriteBool(key.Section, key.Key, value); }

std::string TrimBoth(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && uint8_t(s[b]) <= ' ') ++b;
  while (e > b && uint8_t(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::string DefaultProgramDir(const TSiblingProgram& p) {
  std::string dir = ProgramDir();
  if (p.Family) return dir;
  // The parent of the program directory: the text up to the "/" before the
  // trailing one; "/" has no parent and stays "/".
  size_t cut = dir.size() > 1 ? dir.rfind('/', dir.size() - 2) : 0;
  return dir.substr(0, cut + 1) + "Morta/";
}

std::string ReadProgramDir(const TIniFile& adminIni, const TSiblingProgram& p) {
  return TrimBoth(adminIni.ReadString(Keys::kKatalogi, p.DirKey, DefaultProgramDir(p)));
}

std::string DirPath(std::string_view dirSetting) {
  std::string d = plat::NormalizeSeparators(std::string(dirSetting));
  if (!d.empty() && d.back() != '/') d += '/';
  return d;
}
