#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <optional>
#include <string>

#include "platform/psys.h"

namespace {

// Sets the locale variables of one case and puts the test's own back.
class LocaleEnv {
 public:
  LocaleEnv() {
    for (size_t i = 0; i < kVars.size(); ++i)
      if (const char* v = std::getenv(kVars[i])) saved_[i] = v;
  }
  ~LocaleEnv() {
    for (size_t i = 0; i < kVars.size(); ++i) Set(kVars[i], saved_[i] ? saved_[i]->c_str() : nullptr);
  }
  LocaleEnv(const LocaleEnv&) = delete;
  LocaleEnv& operator=(const LocaleEnv&) = delete;
  static void Set(const char* var, const char* value) {
    if (value)
      setenv(var, value, 1);
    else
      unsetenv(var);
  }

  static constexpr std::array<const char*, 4> kVars = {"LC_ALL", "LC_TIME", "LC_MESSAGES", "LANG"};

 private:
  std::array<std::optional<std::string>, 4> saved_;
};

// The Windows user locale is the locale of dates and numbers: someone who
// reads messages in English but writes dates the German way is German here.
TEST(UserLanguage, ComesFromTheLocaleOfDatesNotOfMessages) {
  struct Case {
    const char *all, *time, *messages, *lang;
    uint16_t id;
  } cases[] = {
      {nullptr, nullptr, "en_US.UTF-8", "de_DE.UTF-8", 0x0407},
      {nullptr, "fr_CA.UTF-8", "en_US.UTF-8", "de_DE.UTF-8", 0x0C0C},
      {"it_IT.UTF-8", "fr_FR.UTF-8", nullptr, "de_DE.UTF-8", 0x0410},
      {nullptr, nullptr, nullptr, "en_GB.UTF-8", 0x0809},
      {nullptr, nullptr, "de_DE.UTF-8", nullptr, 0x0409},
      {nullptr, nullptr, nullptr, "C.UTF-8", 0x0409},
      {"", "", "", "ru_RU.UTF-8", 0x0419},
  };
  LocaleEnv env;
  for (const auto& c : cases) {
    LocaleEnv::Set("LC_ALL", c.all);
    LocaleEnv::Set("LC_TIME", c.time);
    LocaleEnv::Set("LC_MESSAGES", c.messages);
    LocaleEnv::Set("LANG", c.lang);
    EXPECT_EQ(plat::UserDefaultLangID(), c.id) << std::hex << c.id;
  }
}

}  // namespace
