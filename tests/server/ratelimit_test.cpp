// Token buckets and log budgets on a clock the test turns.
#include "ratelimit.h"

#include <gtest/gtest.h>

TEST(TokenBucket, BurstThenRateAndDebtIsPaidOffFirst)
{
    TTokenBucket b(2, 4, 1000);   // two a second, four at once
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(b.Take(1000));
    EXPECT_FALSE(b.Take(1000));
    EXPECT_EQ(b.WaitFor(1000), 500u);
    EXPECT_FALSE(b.Take(1499));
    EXPECT_TRUE(b.Take(1500));
    // Never more than the burst, however long it rested.
    EXPECT_DOUBLE_EQ(b.Level(1'000'000), 4.0);
    // Charged past empty, it owes: nothing until the debt is paid.
    b.Charge(1'000'000, 10);
    EXPECT_DOUBLE_EQ(b.Level(1'000'000), -6.0);
    EXPECT_EQ(b.WaitFor(1'000'000), 3500u);
    EXPECT_FALSE(b.Take(1'003'499));
    EXPECT_TRUE(b.Take(1'003'500));
    // A clock going back gives nothing.
    EXPECT_FALSE(b.Take(0));
}

TEST(LogBudget, HeldBackLinesAreCountedIntoTheNextAndTheLast)
{
    TLogBudget budget(3, 0);   // three a minute
    int written = 0;
    for (int i = 0; i < 10; ++i) {
        std::string line = "event";
        if (budget.Pass(line, 0)) {
            ++written;
            EXPECT_EQ(line, "event");
        }
    }
    EXPECT_EQ(written, 3);
    EXPECT_EQ(budget.HeldBack(), 7u);
    std::string line = "event";
    EXPECT_TRUE(budget.Pass(line, 20'000));
    EXPECT_EQ(line, "event (7 lines about it held back)");
    std::string held = "again";
    EXPECT_FALSE(budget.Pass(held, 20'000));
    std::string last = "closed";
    budget.Last(last);
    EXPECT_EQ(last, "closed (1 line about it held back)");
    std::string quiet = "closed";
    TLogBudget fresh(3, 0);
    fresh.Last(quiet);
    EXPECT_EQ(quiet, "closed");
}
