#include <gtest/gtest.h>

#include "library/dateole.h"

namespace {

struct Date {
    unsigned a, mo, j, h, mi, s, ms;
    double ole;
};

void PrintTo(const Date& d, std::ostream* os)
{
    *os << d.a << '-' << d.mo << '-' << d.j << ' ' << d.h << ':' << d.mi << ':' << d.s << '.' << d.ms;
}

class DateOle : public ::testing::TestWithParam<Date> {};

TEST_P(DateOle, DaysSince30December1899PlusFractionOfDay)
{
    const auto& d = GetParam();
    EXPECT_EQ(dateole(d.a, d.mo, d.j, d.h, d.mi, d.s, d.ms), d.ole);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, DateOle,
    ::testing::Values(Date{1899, 12, 30, 0, 0, 0, 0, 0.0}, Date{1900, 1, 1, 0, 0, 0, 0, 2.0},
                      // 1900 is not a leap year.
                      Date{1900, 3, 1, 0, 0, 0, 0, 61.0},
                      Date{2007, 2, 14, 12, 0, 0, 0, 39127.5},
                      // 2000 is one; 2100 will not be.
                      Date{2000, 2, 29, 0, 0, 0, 0, 36585.0},
                      Date{2000, 3, 1, 0, 0, 0, 0, 36586.0},
                      Date{2100, 3, 1, 0, 0, 0, 0, 73110.0},
                      Date{2026, 12, 11, 6, 0, 0, 0, 46367.25},
                      // The fraction is rounded alone, then added.
                      Date{2026, 12, 11, 23, 59, 59, 999, 46367.0 + 86399999.0 / 86400000.0},
                      Date{1999, 12, 31, 18, 30, 15, 250,
                           36525.0 + 66615250.0 / 86400000.0}));

}  // namespace
