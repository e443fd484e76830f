// libv4lconvert's gamma tables call powf, which the program defines to load libm only then: the values
// must be the system's, not the fallback that leaves the picture's gamma alone.
#include <gtest/gtest.h>

#include <cmath>

extern "C" float powf(float base, float exponent);

TEST(LibmOnDemand, PowfGivesTheSystemValues) {
  struct Case {
    float base, exponent, expected;
  };
  const Case cases[] = {
      {0.25F, 0.5F, 0.5F},
      {2.0F, 10.0F, 1024.0F},
      {0.5F, 1000.0F / 1200.0F, 0.561231024F},  // a camera's gamma of 1.2
      {0.0F, 0.8F, 0.0F},
      {1.0F, 3.0F, 1.0F},
  };
  for (const Case& c : cases) {
    EXPECT_FLOAT_EQ(powf(c.base, c.exponent), c.expected) << c.base << " ^ " << c.exponent;
  }
}
