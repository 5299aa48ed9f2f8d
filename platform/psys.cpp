#include "platform/psys.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>

namespace plat {

uint32_t TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint32_t(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint16_t LangIDFromLocaleName(const char* name) {
  if (!name || !*name) return 0x0409;
  std::string s(name);
  std::string lang = s.substr(0, s.find_first_of("_.@"));
  std::string region;
  if (auto u = s.find('_'); u != std::string::npos) region = s.substr(u + 1, 2);
  struct Lang {
    const char* code;
    uint16_t primary;
  };
  static const Lang langs[] = {{"de", 0x07}, {"en", 0x09}, {"es", 0x0A}, {"fr", 0x0C},
                               {"it", 0x10}, {"ru", 0x19}, {"pl", 0x15}, {"cs", 0x05},
                               {"sk", 0x1B}, {"hu", 0x0E}, {"uk", 0x22}};
  uint16_t primary = 0;
  for (const auto& l : langs)
    if (lang == l.code) primary = l.primary;
  if (primary == 0) return 0x0409;
  uint16_t sub = 1;
  if (primary == 0x09 && region != "US") sub = 2;  // English, not United States
  if (primary == 0x0C && region == "CA") sub = 3;  // French, Canadian
  return uint16_t(primary | (sub << 10));
}

namespace {

// The first of the variables that names a locale.
const char* LocaleNameOf(std::initializer_list<const char*> vars) {
  for (const char* var : vars) {
    const char* v = std::getenv(var);
    if (v && *v) return v;
  }
  return "C";
}

// nl_langinfo_l of `item` in the named locale, or in "C" when the machine
// lacks it.
std::string LangInfo(const char* name, int mask, nl_item item) {
  locale_t loc = newlocale(mask, name, locale_t(0));
  if (!loc) loc = newlocale(mask, "C", locale_t(0));
  if (!loc) return {};
  std::string v = nl_langinfo_l(item, loc);
  freelocale(loc);
  return v;
}

}  // namespace

// Where no variable names a locale, "C" has no language: 0x0409.
uint16_t UserDefaultLangID() { return LangIDFromLocaleName(LocaleNameOf({"LC_ALL", "LC_TIME", "LANG"})); }

LocaleFormats UserLocaleFormats() {
  const char* numeric = LocaleNameOf({"LC_ALL", "LC_NUMERIC", "LANG"});
  const char* time = LocaleNameOf({"LC_ALL", "LC_TIME", "LANG"});
  LocaleFormats f;
  f.DecimalPoint = LangInfo(numeric, LC_NUMERIC_MASK, RADIXCHAR);
  f.ThousandsSep = LangInfo(numeric, LC_NUMERIC_MASK, THOUSEP);
  f.DateFormat = LangInfo(time, LC_TIME_MASK, D_FMT);
  return f;
}

namespace {
ClockFn& Clock() {
  static ClockFn clock;
  return clock;
}
}  // namespace

std::time_t Now() { return Clock() ? Clock()() : std::time(nullptr); }
void SetClock(ClockFn clock) { Clock() = std::move(clock); }

}  // namespace plat
