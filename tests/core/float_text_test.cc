#include "float_text.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace vordaopt {
namespace {

TEST(FloatText, CompactFormSwitchesToExponentOutsideTheDecimalRange) {
  EXPECT_EQ(float_repr(2.0), "2.0");
  EXPECT_EQ(float_repr(0.5), "0.5");
  EXPECT_EQ(float_repr(-3.25), "-3.25");
  EXPECT_EQ(float_repr(0.0), "0.0");
  EXPECT_EQ(float_repr(1e-4), "0.0001");
  EXPECT_EQ(float_repr(1e-5), "1e-5");
  EXPECT_EQ(float_repr(1.5e-7), "1.5e-7");
  EXPECT_EQ(float_repr(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(float_repr(1e16), "1e16");
  EXPECT_EQ(float_repr(2.5e300), "2.5e300");
  EXPECT_EQ(float_repr(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(float_repr(5e-324), "5e-324");
  EXPECT_EQ(float_repr(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(float_repr(INFINITY), "inf");
  EXPECT_EQ(float_repr(-INFINITY), "-inf");
}

TEST(FloatText, PlainFormNeverUsesAnExponent) {
  EXPECT_EQ(float_plain(1e2), "100.0");
  EXPECT_EQ(float_plain(1e-5), "0.00001");
  EXPECT_EQ(float_plain(-0.0), "-0.0");
  EXPECT_EQ(float_plain(18446744073709551616.0), "18446744073709552000.0");
  EXPECT_EQ(float_plain(1.25e-7), "0.000000125");
}

TEST(FloatText, ReversedRangeMessage) {
  EXPECT_EQ(reversed_range_message(2.0, 0.5),
            "min > max, or either was NaN. min = 2.0, max = 0.5");
  EXPECT_EQ(reversed_range_message(NAN, 1e16),
            "min > max, or either was NaN. min = NaN, max = 1e16");
}

}  // namespace
}  // namespace vordaopt
