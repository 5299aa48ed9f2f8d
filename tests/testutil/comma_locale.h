// A locale with a decimal comma for the C library, for tests that the
// engine's numbers do not follow the C library's locale.
#pragma once
#include <stdlib.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

// An installed locale whose decimal point is ",", or one made with
// localedef in a temporary folder when the machine has none; the C locale
// again afterwards.
class CommaLocale {
 public:
  CommaLocale() {
    for (const char* name : {"pl_PL.UTF-8", "pl_PL.utf8", "de_DE.UTF-8", "de_DE.utf8"}) {
      if (Activate(name)) return;
    }
    if (std::system("command -v localedef >/dev/null 2>&1") != 0) {
      why_ = "localedef is not installed";
      return;
    }
    char tmpl[] = "/tmp/ruv_locale_XXXXXX";
    if (!mkdtemp(tmpl)) {
      why_ = "no temporary directory";
      return;
    }
    dir_ = tmpl;
    std::string cmd = "localedef -i pl_PL -f UTF-8 " + dir_ + "/pl_PL.UTF-8 >/dev/null 2>&1";
    int rc = std::system(cmd.c_str());
    (void)rc;  // localedef warns with a non-zero status yet writes the locale
    setenv("LOCPATH", dir_.c_str(), 1);
    if (!Activate("pl_PL.UTF-8")) why_ = "localedef could not build pl_PL.UTF-8";
  }
  ~CommaLocale() {
    std::setlocale(LC_ALL, "C");
    if (!dir_.empty()) {
      unsetenv("LOCPATH");
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }
  bool Active() const { return why_.empty(); }
  const std::string& Why() const { return why_; }

 private:
  bool Activate(const char* name) {
    if (!std::setlocale(LC_ALL, name)) return false;
    if (std::string(std::localeconv()->decimal_point) == ",") return true;
    std::setlocale(LC_ALL, "C");
    return false;
  }
  std::string dir_;
  std::string why_;
};
