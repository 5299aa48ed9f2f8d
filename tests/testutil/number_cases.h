// Numbers at and next to the halfway point of their last decimal, with the
// text the sibling programs' runtime writes for them: the exact binary value
// rounded, exact halves away from zero, no "-0". Every routine that writes
// a number is checked against them.
#pragma once
#include <string>

struct RoundingCase {
  double value;
  int decimals;
  const char* text;
};

inline constexpr RoundingCase kRoundingCases[] = {
    // Exact halves.
    {0.125, 2, "0.13"},
    {-0.125, 2, "-0.13"},
    {0.375, 2, "0.38"},
    {2.5, 0, "3"},
    {-2.5, 0, "-3"},
    {9.5, 0, "10"},
    {0.25, 1, "0.3"},
    {1.0625, 3, "1.063"},
    {99.875, 2, "99.88"},
    {1e15 + 0.5, 0, "1000000000000001"},
    {1125899906842624.25, 1, "1125899906842624.3"},  // its shortest form is ...624.2
    // Next to a half: the binary value lies below or above it.
    {2.675, 2, "2.67"},
    {1.005, 2, "1.00"},
    {1.045, 2, "1.04"},
    {9.995, 2, "9.99"},
    {99.9995, 3, "99.999"},
    {0.15, 1, "0.1"},
    {8.345, 2, "8.35"},
    {1234.565, 2, "1234.57"},
    {99.995, 2, "100.00"},
    {0.005, 2, "0.01"},
    {-0.005, 2, "-0.01"},
    // Negative values that come out as zero.
    {-0.001, 2, "0.00"},
    {-0.004, 2, "0.00"},
    {-0.0, 2, "0.00"},
    {-0.4, 0, "0"},
};

// The case's text right-aligned in `width`.
inline std::string RoundingText(const RoundingCase& c, size_t width) {
  std::string t = c.text;
  return t.size() < width ? std::string(width - t.size(), ' ') + t : t;
}
