// Model date: time keys, Gregorian month lengths and calendar arithmetic.
#include "core/model_date.h"

#include <gtest/gtest.h>

namespace velorn {
namespace {

TEST(ModelDate, KeysFollowDateOrder) {
  EXPECT_EQ(ModelTimeKey(2000, 12, 31, 24), 2000 * 93000 + 12 * 7750 + 31 * 250 + 24);
  EXPECT_LT(ModelTimeKey(2000, 12, 31, 24), ModelTimeKey(2001, 1, 1, 0));
  EXPECT_LT(ModelTimeKey(2019, 1, 31, 24), ModelTimeKey(2019, 2, 1, 0));
  EXPECT_LT(ModelTimeKey(2019, 3, 1, 23), ModelTimeKey(2019, 3, 1, 24));
  EXPECT_EQ(ModelTimeKey(ModelDate{2019, 3, 1, 24}), ModelTimeKey(2019, 3, 1, 24));
}

TEST(ModelDate, GregorianLeapYears) {
  EXPECT_FALSE(IsLeapYear(1900));
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_TRUE(IsLeapYear(2024));
  EXPECT_FALSE(IsLeapYear(2023));
  EXPECT_FALSE(IsLeapYear(2100));
  EXPECT_EQ(DaysInMonth(1900, 2), 28);
  EXPECT_EQ(DaysInMonth(2000, 2), 29);
  EXPECT_EQ(DaysInMonth(2024, 2), 29);
  EXPECT_EQ(DaysInMonth(2023, 4), 30);
  EXPECT_EQ(DaysInMonth(2023, 12), 31);
  EXPECT_EQ(DaysInMonth(2023, 13), 0);
}

TEST(ModelDate, AddingHoursRollsOverDaysMonthsAndYears) {
  EXPECT_EQ(AddHours({2023, 12, 31, 23}, 1), (ModelDate{2024, 1, 1, 0}));
  EXPECT_EQ(AddHours({2024, 2, 28, 12}, 24), (ModelDate{2024, 2, 29, 12}));
  EXPECT_EQ(AddHours({2023, 2, 28, 12}, 24), (ModelDate{2023, 3, 1, 12}));
  EXPECT_EQ(AddHours({2024, 3, 1, 0}, -1), (ModelDate{2024, 2, 29, 23}));
  // Hour 24 is the end of its day; in the 1..24 form it stays so.
  EXPECT_EQ(AddHours({2019, 3, 1, 24}, 24, HourRange::kOneTo24), (ModelDate{2019, 3, 2, 24}));
  EXPECT_EQ(AddHours({2019, 3, 1, 24}, 24), (ModelDate{2019, 3, 3, 0}));
  EXPECT_EQ(AddHours({2019, 12, 31, 23}, 1, HourRange::kOneTo24), (ModelDate{2019, 12, 31, 24}));
  EXPECT_EQ(AddHours({2000, 1, 1, 0}, 366 * 24), (ModelDate{2001, 1, 1, 0}));
}

TEST(ModelDate, AddingDaysKeepsTheHour) {
  EXPECT_EQ(AddDays({1900, 2, 28, 24}, 1), (ModelDate{1900, 3, 1, 24}));
  EXPECT_EQ(AddDays({2000, 2, 28, 6}, 1), (ModelDate{2000, 2, 29, 6}));
  EXPECT_EQ(AddDays({2024, 1, 1, 0}, -1), (ModelDate{2023, 12, 31, 0}));
  EXPECT_EQ(AddDays({2023, 1, 1, 0}, 365), (ModelDate{2024, 1, 1, 0}));
  EXPECT_EQ(AddDays({2024, 1, 1, 0}, 366), (ModelDate{2025, 1, 1, 0}));
  // Every day of four centuries, one at a time, agrees with the month lengths.
  ModelDate d{1901, 1, 1, 0};
  for (int i = 0; i < 146097; ++i) {
    const ModelDate next = AddDays(d, 1);
    if (d.day < DaysInMonth(d.year, d.month)) {
      ASSERT_EQ(next, (ModelDate{d.year, d.month, d.day + 1, 0}));
    } else if (d.month < 12) {
      ASSERT_EQ(next, (ModelDate{d.year, d.month + 1, 1, 0}));
    } else {
      ASSERT_EQ(next, (ModelDate{d.year + 1, 1, 1, 0}));
    }
    d = next;
  }
  EXPECT_EQ(d, (ModelDate{2301, 1, 1, 0}));
}

}  // namespace
}  // namespace velorn
