// The expression language without tables: literals, operators, functions,
// result types and the error messages with their windows.
#include <ctime>

#include "platform/psys.h"
#include "tables/expr/expr_testutil.h"
#include "testutil/comma_locale.h"
#include "testutil/localtime.h"
#include "testutil/number_cases.h"

namespace {

using exprtest::Cp;
using exprtest::ExprTest;
using exprtest::Eval;
using exprtest::ExpectValues;

TEST_F(ExprTest, PrecedenceAndAssociativity) {
  ExpectValues({
      {"2^3^2", 'N', "64"},
      {"2**3**2", 'N', "64"},
      {"-2^2", 'N', "4"},
      {"-2^3", 'N', "-8"},
      {"2^-1", 'N', "0.5"},
      {"1+2*3", 'N', "7"},
      {"(1+2)*3", 'N', "9"},
      {"10-4-3", 'N', "3"},
      {"100/10/5", 'N', "2"},
      {"2*3^2", 'N', "18"},
      {"- -3", 'N', "3"},
      {"+5", 'N', "5"},
      {"1E3+1.5", 'N', "1001.5"},
      {"1 < 2 .AND. 2 < 3", 'L', "T"},
      {".T. .OR. .F. .AND. .F.", 'L', "T"},
      {".NOT. .F. .AND. .F.", 'L', "F"},
      {"'d' $ 'abc' + 'd'", 'L', "T"},
      {"  ( ( 7 ) )  ", 'N', "7"},
  });
}

TEST_F(ExprTest, StringRules) {
  ExpectValues({
      {"'ABC' = 'AB'", 'L', "T"},
      {"'AB' = 'ABC'", 'L', "F"},
      {"'ABC' = ''", 'L', "F"},
      {"'AB' == 'AB '", 'L', "F"},
      {"'AB' == 'AB'", 'L', "T"},
      {"'AB' <> 'AB '", 'L', "T"},
      {"'AB' # 'AB'", 'L', "F"},
      {"'AB' < 'ABC'", 'L', "T"},
      {"'B' > 'ABC'", 'L', "T"},
      {"'AB' <= 'AB'", 'L', "T"},
      {"'a' >= 'B'", 'L', "T"},
      {"'A' $ 'CAB'", 'L', "T"},
      {"'a' $ 'CAB'", 'L', "F"},
      {"'' $ 'CAB'", 'L', "F"},
      {"'AB  ' - 'CD'", 'C', "ABCD  "},
      {"'   ' - 'CD'", 'C', "CD   "},
      {"'AB' + \"C'D\"", 'C', "ABC'D"},
      {"\"it's\"", 'C', "it's"},
      {Cp("'ą' > 'z'"), 'L', "T"},
  });
}

TEST_F(ExprTest, FunctionsOnNumbers) {
  ExpectValues({
      {"ABS(-3)", 'N', "3"},
      {"INT(-2.5)", 'N', "-2"},
      {"INT(2.9)", 'N', "2"},
      {"ROUND(2.567, 2)", 'N', "2.56"},
      {"ROUND(-2.567, 1)", 'N', "-2.5"},
      {"ROUND(2.567, 0)", 'N', "2"},
      {"MOD(-7, 3)", 'N', "-1"},
      {"MOD(7, -3)", 'N', "1"},
      {"MOD(7.9, 3)", 'N', "1"},
      {"MAX(1, 2)", 'N', "2"},
      {"MIN(1, 2)", 'N', "1"},
      {"ASC('A')", 'N', "65"},
      {"ASC('')", 'N', "0"},
      {Cp("ASC('Ł')"), 'N', "163"},
      {"AT('C', 'ABC')", 'N', "3"},
      {"AT('X', 'ABC')", 'N', "0"},
      {"AT('', 'ABC')", 'N', "0"},
      {"LEN('abc ')", 'N', "4"},
      {"VAL('12.5  ')", 'N', "12.5"},
      {"VAL('  -3')", 'N', "-3"},
      {"VAL('abc')", 'N', "0"},
      {"VAL('7x')", 'N', "7"},
      {"0^2", 'N', "0"},
      {"0^0", 'N', "1"},
      {"4^0.5", 'N', "2"},
  });
}

TEST_F(ExprTest, FunctionsOnPolishText) {
  ExpectValues({
      {Cp("UPPER('zażółć gęślą jaźń')"), 'C', Cp("ZAŻÓŁĆ GĘŚLĄ JAŹŃ")},
      {Cp("LOWER('ŁÓDŹ Ś')"), 'C', Cp("łódź ś")},
      {Cp("SUBSTR('Łódź', 2, 2)"), 'C', Cp("ód")},
      {Cp("SUBSTR('Łódź', 0, 2)"), 'C', Cp("Łó")},
      {Cp("SUBSTR('Łódź', 3, 10)"), 'C', Cp("dź")},
      {Cp("SUBSTR('Łódź', 9, 1)"), 'C', ""},
      {Cp("SUBSTR('Łódź', 2, -1)"), 'C', ""},
      {Cp("AT('ź', 'Łódź')"), 'N', "4"},
      {Cp("IIF(1 < 2, 'tak', 'nie')"), 'C', "tak"},
      {Cp("IIF(.F., 'tak', 'nie')"), 'C', "nie"},
      {"LEFT('ABC', 2)", 'C', "AB"},
      {"LEFT('ABC', 5)", 'C', "ABC"},
      {"LEFT('ABC', -1)", 'C', ""},
      {"RIGHT('ABC', 2)", 'C', "BC"},
      {"RIGHT('ABC', 9)", 'C', "ABC"},
      {"RIGHT('ABC', 0)", 'C', ""},
      {"LTRIM('  A ')", 'C', "A "},
      {"TRIM('  A ')", 'C', "  A"},
      {"RTRIM('  A  ')", 'C', "  A"},
      {"SPACE(3)", 'C', "   "},
      {"SPACE(-3)", 'C', ""},
      {"REPLICATE('ab', 3)", 'C', "ababab"},
      {"REPLICATE('ab', 0)", 'C', ""},
      {"REPLICATE('x', 300)", 'C', std::string(255, 'x')},
      {"SPACE(300) + 'x'", 'C', std::string(255, ' ')},
      {"STUFF('ABCDE', 2, 2, 'xy')", 'C', "AxyDE"},
      {"STUFF('ABC', 9, 2, 'x')", 'C', "ABCx"},
      {"STUFF('ABC', 0, 1, 'x')", 'C', "xABC"},
      {"SOUNDEX('Ashcraft')", 'C', "A226"},
      {"CHR(65)", 'C', "A"},
      {"CHR(321)", 'C', "A"},
      {"STR(3.14159, 6, 2)", 'C', "  3.14"},
      {"STR(123456, 3)", 'C', "***"},
      {"STR(42)", 'C', "        42"},
      {"STR(-2.5, 4)", 'C', "  -3"},
      {"STR(1E300, 5)", 'C', "*****"},
      {"STR(1, 300, 2)", 'C', std::string(251, ' ') + "1.00"},
  });
}

// STR() writes a number as its field would store it.
TEST_F(ExprTest, StrRoundsAsFieldsAreWritten) {
  for (const RoundingCase& c : kRoundingCases) {
    const std::string expr = "STR(" + exprtest::NumberText(c.value) + ", 20, " + std::to_string(c.decimals) + ")";
    EXPECT_EQ(Eval(expr).value, RoundingText(c, 20)) << expr;
  }
}

TEST_F(ExprTest, DatesUnderTheDateSettings) {
  ExpectValues({
      {"DTOS(CTOD('05.03.2024'))", 'C', "20240305"},
      {"DTOC(CTOD('05.03.2024') + 30)", 'C', "04.04.2024"},
      {"DTOC(30 + CTOD('05.03.2024'))", 'C', "04.04.2024"},
      {"DTOC(CTOD('05.03.2024') - 5)", 'C', "29.02.2024"},
      {"CTOD('01.03.2024') - CTOD('28.02.2024')", 'N', "2"},
      {"CTOD('01.01.2000') - CTOD('31.12.1999')", 'N', "1"},
      {"DAY(CTOD('05.03.2024'))", 'N', "5"},
      {"MONTH(CTOD('05.03.2024'))", 'N', "3"},
      {"YEAR(CTOD('05.03.2024'))", 'N', "2024"},
      {"DOW(CTOD('01.01.2024'))", 'N', "2"},
      {"CDOW(CTOD('01.01.2024'))", 'C', "Lundi   "},
      {"CMONTH(CTOD('01.01.2024'))", 'C', "Janvier  "},
      {"DTOS(CTOD(''))", 'C', "        "},
      {"DTOS(CTOD('31.02.2024'))", 'C', "        "},
      {"DTOC(CTOD('  .  .    '))", 'C', "  .  .    "},
      {"CTOD('') > CTOD('31.12.9999')", 'L', "T"},
      {"MAX(CTOD('01.01.2024'), CTOD('02.01.2024')) = CTOD('02.01.2024')", 'L', "T"},
      {"DTOS(MIN(CTOD('01.01.2024'), CTOD('02.01.2024')))", 'C', "20240101"},
      {"CTOD('29.02.2000') <> CTOD('')", 'L', "T"},
      {"DTOS(CTOD('29.02.1900'))", 'C', "        "},
  });
  Engine().dates.CenturyOn = false;
  SetDateFormat(0);
  ExpectValues({
      {"DTOC(CTOD('12/31/99'))", 'C', "12/31/99"},
      {"YEAR(CTOD('12/31/99'))", 'N', "99"},
      {"DTOC(CTOD(''))", 'C', "  /  /  "},
  });
  SetDateFormat(7);
  ExpectValues({{"DTOC(CTOD('31.12.2024'))", 'C', ""}});
}

TEST_F(ExprTest, TodayFromTheEngineClock) {
  const std::time_t noon = LocalTime(2026, 3, 15);
  plat::SetClock([noon] { return noon; });
  ExpectValues({
      {"DTOS(DATE())", 'C', "20260315"},
      {"DTOC(DATE() + 1)", 'C', "16.03.2026"},
      {"DATE() - CTOD('01.01.00')", 'N', "9570"},
  });
  plat::SetClock({});
}

struct ResultCase {
  std::string text;
  char type;
  uint16_t len;
  uint8_t dec;
};

TEST_F(ExprTest, ResultTypeLengthAndDecimals) {
  ResultCase cases[] = {
      {"'ABC'", 'C', 0, 0},      {"UPPER('A')", 'C', 0, 0}, {"1", 'N', 13, 2},
      {"DATE()", 'D', 8, 0},     {".T.", 'L', 1, 0},        {"1 < 2", 'L', 1, 0},
      {"STR(1, 5)", 'C', 0, 0},  {"DTOS(DATE())", 'C', 0, 0},
  };
  for (const auto& c : cases) {
    auto o = Eval(c.text);
    ASSERT_TRUE(o.compiled) << c.text << o.message;
    EXPECT_EQ(o.type, c.type) << c.text;
    EXPECT_EQ(o.len, c.len) << c.text;
    EXPECT_EQ(o.dec, c.dec) << c.text;
  }
}

// The window: 51 characters from 50 before the place where reading stopped.
std::string Window(const std::string& text, size_t stop) {
  size_t start = stop > 50 ? stop - 50 : 0;
  return (start ? "[..." : "[") + text.substr(start, 51) + (start + 51 < text.size() ? "...]" : "]");
}

std::string Message(const std::string& reason, const std::string& text, size_t stop) {
  return "Error in expression : " + reason + "\r\n" + Window(text, stop) + "\r\n [AssignExpr]";
}

struct ErrorCase {
  std::string text;
  std::string reason;
  std::string stopAfter;  // reading stops after the first occurrence of this text (whole text: "")
};

TEST_F(ExprTest, ErrorMessagesWithTheirWindows) {
  std::string pad = std::string(60, ' ') + "'" + std::string(20, 'p') + "' = 'q' .AND. ";
  ErrorCase cases[] = {
      {"1 + 'A'", "PARSER:Type mismatch in expression \"+\"", ""},
      {"1 - 'A'", "PARSER:Type mismatch in expression \"-\"", ""},
      {"'A' * 2", "PARSER:Type mismatch in expression \"*\"", ""},
      {"'A' / 2", "PARSER:Type mismatch in expression \"/\"", ""},
      {"1 ** 'A'", "PARSER:Type mismatch in expression \"** or ^\"", ""},
      {"1 = 'A'", "PARSER:Type mismatch in expression \"=\"", ""},
      {"1 == 1", "PARSER:Type mismatch in expression \"==\"", ""},
      {"1 $ 'A'", "PARSER:Type mismatch in expression \"$\"", ""},
      {".T. < .F.", "PARSER:Type mismatch in expression \"<\"", ""},
      {".T. > .F.", "PARSER:Type mismatch in expression \">\"", ""},
      {".T. <= .F.", "PARSER:Type mismatch in expression \"<=\"", ""},
      {".T. >= .F.", "PARSER:Type mismatch in expression \">=\"", ""},
      {"1 <> 'A'", "PARSER:Type mismatch in expression \"<>\"", ""},
      {"1 # 'A'", "PARSER:Type mismatch in expression \"<>\"", ""},
      {"1 .OR. .T.", "PARSER:Type mismatch in expression \".OR.\"", ""},
      {".T. .AND. 1", "PARSER:Type mismatch in expression \".AND.\"", ""},
      {"-'A'", "PARSER:Type mismatch in expression \"Unary -\"", ""},
      {"+'A'", "PARSER:Type mismatch in expression \"Unary +\"", ""},
      {".NOT. 1 = 1", "PARSER:Type mismatch in expression \".NOT.\"", ".NOT. 1"},
      {"IIF(1 > 0, 1, 2)", "PARSER:Type mismatch in function \"IIF\"", ""},
      {"SUBS(1, 1, 1)", "PARSER:Type mismatch in function \"SUBSTR\"", ""},
      {"MAX(1, DATE())", "PARSER:Type mismatch in function \"MAX\"", ""},
      {"ABS('x') + 1", "PARSER:Type mismatch in function \"ABS\"", "ABS('x')"},
      {"UPPER", "Syntax error", ""},
      {"UPPER + 1", "Syntax error", "UPPER +"},
      {"'abc", "Syntax error", ""},
      {"1 +", "Syntax error", ""},
      {"(1", "Syntax error", ""},
      {"1 2 3", "Syntax error", "1 2"},
      {"SUBSTR('a', 1) + 'x'", "Syntax error", "SUBSTR('a', 1)"},
      {"STR(1, 2, 3, 4)", "Syntax error", "STR(1, 2, 3,"},
      {"DATE(1)", "Syntax error", "DATE(1"},
      {"XYZ + 1", "Syntax error", "XYZ"},
      {"A.AND.B", "Syntax error", "A.AND.B"},
      {"1.2.3", "Syntax error", "1.2.3"},
      {"", "Syntax error", ""},
      // Long texts show where reading stopped: after the lookahead for the
      // left-associative operators, right after the operand for the others.
      {pad + "1 + 'A' .OR. .T. .OR. .T. .OR. .T. .OR. .T.", "PARSER:Type mismatch in expression \"+\"",
       pad + "1 + 'A' .OR."},
      {pad + "2 ^ 'A' .OR. .T. .OR. .T. .OR. .T. .OR. .T.", "PARSER:Type mismatch in expression \"** or ^\"",
       pad + "2 ^ 'A'"},
      {pad + "-'A' .OR. .T. .OR. .T. .OR. .T. .OR. .T.", "PARSER:Type mismatch in expression \"Unary -\"",
       pad + "-'A'"},
      {pad + "1 + + .OR. .T. .OR. .T. .OR. .T. .OR. .T.", "Syntax error", pad + "1 + + .OR."},
  };
  for (const auto& c : cases) {
    auto o = Eval(c.text);
    EXPECT_FALSE(o.compiled) << c.text;
    EXPECT_EQ(o.error, 351) << c.text;
    size_t stop = c.stopAfter.empty() ? c.text.size() : c.stopAfter.size();
    ASSERT_EQ(c.text.substr(0, c.stopAfter.size()), c.stopAfter) << "bad case " << c.text;
    EXPECT_EQ(o.message, Message(c.reason, c.text, stop)) << c.text;
  }
}

// The texts stay open where nesting alone must reach the limit: closed,
// they would pass the 255 characters a text may have.
TEST_F(ExprTest, StackLimitOf150Entries) {
  auto open = [](int n) { return std::string(size_t(n), '(') + "1"; };
  EXPECT_EQ(Eval(open(148)).message, Message("Syntax error", open(148), 149));
  EXPECT_EQ(Eval(open(149)).message, Message("Parser_stack_overflow", open(149), 150));

  auto minus = [](int n) { return std::string(size_t(n), '-') + "1"; };
  EXPECT_EQ(Eval(minus(148)).value, "1");
  EXPECT_EQ(Eval(minus(149)).message, Message("Parser_stack_overflow", minus(149), 150));

  // A level of "ABS(1+" holds four entries: the name, "(", the left
  // operand and "+".
  auto calls = [](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "ABS(1+";
    return s + "1";
  };
  EXPECT_EQ(Eval(calls(37)).message, Message("Syntax error", calls(37), 37 * 6 + 1));
  EXPECT_EQ(Eval(calls(38)).message, Message("Parser_stack_overflow", calls(38), 37 * 6 + 4));
  std::string closed = calls(20) + std::string(20, ')');
  EXPECT_EQ(Eval(closed).value, "21");
}

TEST_F(ExprTest, TextsLongerThan255CharactersAreRefused) {
  std::string ok = "'" + std::string(253, 'x') + "'";
  EXPECT_EQ(Eval(ok).value, std::string(253, 'x'));
  std::string longer = "'" + std::string(254, 'x') + "'";
  auto o = Eval(longer);
  EXPECT_FALSE(o.compiled);
  EXPECT_EQ(o.error, 351);
  // A NUL or character 255 ends the text.
  EXPECT_EQ(Eval(std::string("1+2\0+'x'", 8)).value, "3");
  EXPECT_EQ(Eval("1+2\xFF+'x'").value, "3");
}

struct FaultCase {
  std::string text;
  std::string value;
};

// Division by zero, MOD by zero, 0 to a negative power and a negative base
// with a fractional exponent report 358 and go on with 1e+250.
TEST_F(ExprTest, ArithmeticFaultsReportAndGoOn) {
  FaultCase cases[] = {
      {"1/0", "1e+250"},           {"1/0 + 1", "1e+250"}, {"MOD(7, 0)", "1e+250"},
      {"MOD(7, 0.5)", "1e+250"},   {"0^-1", "1e+250"},    {"(-8)^(1/3)", "1e+250"},
      {"STR(1/0 - 1/0, 3)", "  0"},
  };
  for (const auto& c : cases) {
    auto o = Eval(c.text);
    ASSERT_TRUE(o.compiled) << c.text;
    EXPECT_EQ(o.value, c.value) << c.text;
    EXPECT_EQ(o.error, 358) << c.text;
    EXPECT_EQ(o.message, "Error during evaluation: Divide by 0 [Evaluate/Engine]") << c.text;
  }
  // Out-of-range values are clamped before they become integers.
  EXPECT_EQ(Eval("MOD(1E300, 7)").error, 0);
  EXPECT_EQ(Eval("CHR(-1E300)").error, 0);
  EXPECT_EQ(Eval("LEFT('abc', 1E300)").value, "abc");
  EXPECT_EQ(Eval("SUBSTR('abc', -1E300, 1E300)").value, "abc");
  EXPECT_EQ(Eval("ROUND(1.5, 1E300)").value, "1.5");
  EXPECT_EQ(Eval("STR(10^400, 4)").value, "****");
}

TEST_F(ExprTest, CompiledCodeAndReuse) {
  ExprRecord* one = AssignExpr("42");
  ASSERT_NE(one, nullptr);
  ASSERT_EQ(one->Code.size(), 2u);
  EXPECT_EQ(one->Code[0].Op, 0);
  EXPECT_EQ(one->Code[1].Op, -1);
  EXPECT_EQ(ExprSource(one), "42");

  ExprRecord* r = AssignExpr("UPPER('ab') + STR(12.5, 6, 1) + DTOS(CTOD('01.02.2024'))");
  ASSERT_NE(r, nullptr);
  std::string first = ExprText(Evaluate(r));
  auto work = r->Work.capacity();
  auto pool = r->Pool.capacity();
  EXPECT_EQ(first, "AB  12.520240201");
  EXPECT_EQ(std::string(ExprText(Evaluate(r))), first);
  EXPECT_EQ(r->Work.capacity(), work);
  EXPECT_EQ(r->Pool.capacity(), pool);
  EXPECT_EQ(static_cast<const char*>(Evaluate(r)), r->Pool.data());

  SetCurrentExpr(one);
  EXPECT_EQ(ExprNumber(EvaluateCurrentExpr()), 42);
  FreeExpr(one);
  EXPECT_EQ(one, nullptr);
  EXPECT_EQ(EvaluateCurrentExpr(), nullptr);
  ExprRecord* stranger = reinterpret_cast<ExprRecord*>(&first);
  FreeExpr(stranger);  // not in the ring: ignored
  EXPECT_EQ(stranger, nullptr);
  FreeExpr(r);
  EXPECT_EQ(Evaluate(nullptr), nullptr);
}

TEST_F(ExprTest, CompilingClearsAnEarlierExpressionError) {
  EXPECT_EQ(Eval("1 +").error, 351);
  LastErrorCode() = 351;
  ExprRecord* r = AssignExpr("1");
  EXPECT_EQ(LastErrorCode(), 0);
  FreeExpr(r);
  LastErrorCode() = 215;
  r = AssignExpr("1");
  EXPECT_EQ(LastErrorCode(), 215);
  FreeExpr(r);
}

TEST_F(ExprTest, ExpressionCheckCodes) {
  struct Case {
    std::string text;
    bool key;
    uint16_t code;
  } cases[] = {
      {"   ", true, 359},
      {"", false, 359},
      {"'" + std::string(219, 'x') + "'", true, 360},
      {"'" + std::string(218, 'x') + "'", true, 0},
      {"1 +", true, 351},
      {".T.", true, 361},
      {"1", false, 362},
      {"1 < 2", false, 0},
      {"UPPER('a')  ", true, 0},
  };
  for (const auto& c : cases) {
    SetAutoErrorHandling(true);
    EXPECT_EQ(CheckExpression(c.text, c.key), c.code) << c.text;
    EXPECT_TRUE(Engine().err.AutoErrorHandling);
    EXPECT_EQ(LastErrorText(), "");
  }
  SetAutoErrorHandling(false);
  EXPECT_EQ(CheckForCondition("1 = 1"), 0);
}

TEST_F(ExprTest, ErrorsRaiseWhenTheEngineRaises) {
  SetAutoErrorHandling(true);
  ErrorRaisesScope raises(true);
  EXPECT_THROW(AssignExpr("1 + 'a'"), EZavivError);
  EXPECT_TRUE(Engine().expr.Ring.empty());
  ExprRecord* r = AssignExpr("1/0");
  ASSERT_NE(r, nullptr);
  EXPECT_THROW(Evaluate(r), EZavivError);
  FreeExpr(r);
}

TEST_F(ExprTest, HooksAreInstalledByTheTablesStartup) {
  auto& hooks = Engine().db.Hooks.Expr;
  ASSERT_TRUE(hooks.Linked);
  ExprRecord* r = hooks.Compile("2 > 1");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(hooks.Evaluate(r)[0], 1);
  EXPECT_EQ(hooks.Source(r), "2 > 1");
  SetCurrentExpr(r);
  EXPECT_EQ(hooks.EvaluateCurrent()[0], 1);
  hooks.Free(r);
  EXPECT_EQ(r, nullptr);
  ResetEngineState();
  EXPECT_FALSE(Engine().db.Hooks.Expr.Linked);
  TablesStartup();
  EXPECT_TRUE(Engine().db.Hooks.Expr.Linked);
}

TEST_F(ExprTest, NumbersIgnoreTheCLibraryLocale) {
  CommaLocale loc;
  if (!loc.Active()) GTEST_SKIP() << "no locale with a decimal comma: " << loc.Why();
  ExpectValues({
      {"STR(1.5, 5, 1)", 'C', "  1.5"},
      {"VAL('2.25') + 1.5", 'N', "3.75"},
      {"STR(VAL('1234.5'), 8, 2)", 'C', " 1234.50"},
  });
  EXPECT_EQ(BcdKeyFromFloat(2, 123.45), BcdKeyFromText("123.45", 2));
}

}  // namespace
