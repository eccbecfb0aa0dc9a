#include "base/Observable.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace tallyvox;

TEST(Observable, NotifiesOnlyWhenTheValueChanges) {
    Observable<std::optional<std::string>> lastError;
    std::vector<std::optional<std::string>> seen;
    auto sub = lastError.observe([&](const auto& v) { seen.push_back(v); });

    EXPECT_FALSE(lastError.set(std::nullopt));
    EXPECT_TRUE(lastError.set("Couldn't save"));
    EXPECT_FALSE(lastError.set("Couldn't save"));
    EXPECT_TRUE(lastError.set(std::nullopt));
    EXPECT_EQ(seen, (std::vector<std::optional<std::string>>{"Couldn't save", std::nullopt}));
}

TEST(Observable, ModifyNotifiesOnlyForARealChange) {
    Observable<std::vector<int>> lines;
    int notified = 0;
    auto sub = lines.observe([&](const auto&) { ++notified; });
    lines.modify([](auto& v) { v.push_back(1); });
    lines.modify([](auto&) {});
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(lines.get(), std::vector<int>{1});
}

TEST(Observable, EndedSubscriptionHearsNothingEvenWhenEndedDuringNotification) {
    Observable<int> value;
    int first = 0, second = 0;
    Subscription b;
    auto a = value.observe([&](int) {
        ++first;
        b.reset();
    });
    b = value.observe([&](int) { ++second; });
    value.set(1);
    value.set(2);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 0);
}

TEST(Observable, SubscriptionMayOutliveTheObservable) {
    Subscription sub;
    {
        Observable<int> value;
        sub = value.observe([](int) {});
    }
    sub.reset(); // must not touch the destroyed observable
    SUCCEED();
}
