// The start-up alignment of the engine's number and date settings with the
// format settings of the user's locale, which leaves the C library's own
// locale alone and never reaches the numbers stored in tables.
#include <clocale>
#include <cstdlib>

#include "dataset_testutil.h"
#include "testutil/comma_locale.h"

// glibc's newlocale does not free its copy of LOCPATH, which the test sets
// to find a locale built for it; the leak checker is told so. The copy is
// made in argz_add_sep, which the leak report names "__argz_add_sep" when
// glibc's debug symbols are installed and "argz_add_sep" (the exported
// name) when they are not; a pattern matches anywhere in a name, so this one
// matches both.
extern "C" const char* __lsan_default_suppressions() { return "leak:argz_add_sep\n"; }

namespace {

// LC_ALL in the environment for a scope.
class LcAll {
 public:
  explicit LcAll(const std::string& value) {
    if (const char* v = std::getenv("LC_ALL")) saved_ = v, had_ = true;
    setenv("LC_ALL", value.c_str(), 1);
  }
  ~LcAll() {
    if (had_) setenv("LC_ALL", saved_.c_str(), 1);
    else unsetenv("LC_ALL");
  }

 private:
  std::string saved_;
  bool had_ = false;
};

class DatasetStartupTest : public dstest::DatasetTest {};

TEST_F(DatasetStartupTest, SettingsComeFromTheUsersLocale) {
  CommaLocale comma;
  if (!comma.Active()) GTEST_SKIP() << comma.Why();
  const std::string name = std::setlocale(LC_ALL, nullptr);
  std::setlocale(LC_ALL, "C");
  {
    LcAll locale(name);
    ResetTablesState();
  }
  const auto& e = Engine();
  EXPECT_EQ(std::string(std::localeconv()->decimal_point), ".");
  EXPECT_EQ(e.text.TzDecimalSep, ',');
  // Polish groups with a (narrow) no-break space, German with ".".
  EXPECT_EQ(e.text.TzThousandSep, name.substr(0, 2) == "pl" ? '\xA0' : '.');
  EXPECT_EQ(e.format.ShortDateFormat, "dd.MM.yyyy");
  EXPECT_TRUE(e.dates.CenturyOn);
  EXPECT_EQ(e.dates.DateFormat, 5);

  MakeTable("n.dbf", {"cena, N, 8, 2"}, {{"1.50"}});
  TTzDbf d("N");
  d.SetDbfFileName(Path("n"));
  d.Open();
  EXPECT_EQ(d.FieldStr("cena"), "     1,5");
  d.SetFieldStr("cena", "2,25");
  d.Post();
  EXPECT_EQ(Stored("n", 1, 1), "    2.25");
  d.Close();

  {
    LcAll locale("C");
    ResetTablesState();
  }
  EXPECT_EQ(e.text.TzDecimalSep, '.');
  EXPECT_EQ(e.text.TzThousandSep, ',');
  EXPECT_EQ(e.format.ShortDateFormat, "MM/dd/yy");
  EXPECT_FALSE(e.dates.CenturyOn);
  EXPECT_EQ(e.dates.DateFormat, 0);
}

}  // namespace
