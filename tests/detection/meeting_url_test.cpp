#include "detection/MeetingURL.h"

#include <gtest/gtest.h>

using namespace tallyvox;

TEST(MeetingURL, EachServiceByItsOwnRules) {
    using MeetingURL::platform;
    // Teams: the host alone decides.
    EXPECT_EQ(platform("https://teams.microsoft.com/_#/conversations/x"), Platform::teams);
    EXPECT_EQ(platform("https://TEAMS.live.com/meet/123"), Platform::teams);
    EXPECT_EQ(platform("https://teams.cloud.microsoft/"), Platform::teams);
    EXPECT_EQ(platform("https://teams.microsoft.com.evil.example/"), std::nullopt);

    // Zoom: only its web client, on zoom.us or a subdomain.
    EXPECT_EQ(platform("https://us02web.zoom.us/wc/81234567890/join?pwd=x"), Platform::zoom);
    EXPECT_EQ(platform("https://zoom.us/WC/81234567890/start"), Platform::zoom);
    EXPECT_EQ(platform("https://us02web.zoom.us/j/81234567890"), std::nullopt);
    EXPECT_EQ(platform("https://notzoom.us/wc/1/join"), std::nullopt);
    EXPECT_EQ(platform("https://zoom.us.example.com/wc/1/join"), std::nullopt);

    // Meet: a meeting code, in any case, with or without a final slash.
    EXPECT_EQ(platform("https://meet.google.com/abc-defg-hij"), Platform::meet);
    EXPECT_EQ(platform("https://meet.google.com/ABC-DEFG-HIJ/?authuser=0"), Platform::meet);
    EXPECT_EQ(platform("https://meet.google.com/"), std::nullopt);
    EXPECT_EQ(platform("https://meet.google.com/lookup/abcdefghij"), std::nullopt);
    EXPECT_EQ(platform("https://meet.google.com/abc-defg-hijk"), std::nullopt);
    EXPECT_EQ(platform("https://meet.google.com/abc-defg-hij/extra"), std::nullopt);

    // Not URLs, or no host.
    EXPECT_EQ(platform("about:blank"), std::nullopt);
    EXPECT_EQ(platform("not a url at all"), std::nullopt);
    EXPECT_EQ(platform(""), std::nullopt);
    EXPECT_EQ(platform("file:///home/meet.google.com/abc-defg-hij"), std::nullopt);
}
