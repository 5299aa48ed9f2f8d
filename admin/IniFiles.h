// INI files with the semantics of the Windows profile routines, because
// "ruv.ini" and "ruv_admin.ini" are shared with the Windows sibling
// programs: sections and keys match case-insensitively, values are trimmed,
// the file is Windows-1250 on disk and every line a write does not touch
// stays byte for byte where it was (CR LF line ends included).
//
// A TIniFile holds no contents: every call reads the file, and every write
// rewrites it at once, so another command (or an archive extracted over the
// file) is seen by the next call of an object that is still open.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// A write that failed, or a value the file cannot hold. The message is the
// user's text (UTF-8).
class EIniFileException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TIniFile {
 public:
  // `fileName` is a full path (UTF-8). The file need not exist: reads then
  // give their defaults and the first write creates it. An existing file is
  // found in any letter case.
  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return fileName_; }

  // Section, key and value texts are UTF-8; a stored value is converted from
  // Windows-1250. A missing file, section or key gives `Default`. The value
  // is trimmed of blanks and tabs, one pair of enclosing quotes (" or ') is
  // removed, and at most 2047 characters are returned.
  std::string ReadString(std::string_view Section, std::string_view Ident, std::string_view Default) const;
  // Decimal with an optional sign, or hexadecimal written "0x..." or
  // "$..."; anything else, or a number outside 32 bits, gives `Default`.
  int32_t ReadInteger(std::string_view Section, std::string_view Ident, int32_t Default) const;
  // The integer reading, true when it is not 0.
  bool ReadBool(std::string_view Section, std::string_view Ident, bool Default) const;

  // Writes key=value: an existing key's line is rewritten in place, a new
  // key goes after the last line of its section, a new section at the end
  // of the file. Throws EIniFileException when the value holds a character
  // that Windows-1250 has no form for or a line break, or when the file
  // cannot be written or is read-only (no write bit for anyone); the file
  // is then unchanged.
  void WriteString(std::string_view Section, std::string_view Ident, std::string_view Value);
  void WriteInteger(std::string_view Section, std::string_view Ident, int32_t Value);
  // Written as "1" or "0".
  void WriteBool(std::string_view Section, std::string_view Ident, bool Value);

  // True when the section holds at least one key (an empty section counts
  // as missing, as in the window library's INI class).
  bool SectionExists(std::string_view Section) const;
  // Removes the section's header and every line up to the next section.
  // Throws EIniFileException when the file cannot be written or is
  // read-only.
  void EraseSection(std::string_view Section);

 private:
  std::string fileName_;
};

// The integer reading of the INI class, for any text: an optional sign,
// then decimal digits or "$" (or "0x" at the start) and hexadecimal
// digits; anything else, or a number outside 32 bits, gives `Default`.
int32_t StrToIntDef(std::string_view S, int32_t Default);

// True when Windows-1250 holds every character of the UTF-8 text, i.e. when
// it can be written into an INI file unchanged.
bool IniCanHold(std::string_view utf8);
// The user's message for a directory name the settings files cannot hold.
std::string IniCannotHoldDirText(std::string_view dir);

// Removes the temporary copy ("<file>.~zapis") that a write of the
// settings file `fileName` left when it was killed before its rename; one
// that a running write holds stays.
void RemoveIniWriteLeftover(const std::string& fileName);
