#include "app/linux/ColorScheme.h"
#include "app/linux/ReducedMotion.h"

#include <gtest/gtest.h>

namespace tallyvox::linux_services {
namespace {

// The portal's answer wins both ways; without one, or with no preference, the GTK theme's dark
// variant counts, however it is spelled.
TEST(ColorScheme, PortalDecidesAndAGtkDarkThemeCountsWithoutIt) {
    EXPECT_TRUE(prefersDark(1u, nullptr));
    EXPECT_FALSE(prefersDark(2u, "Adwaita:dark")) << "the portal says light";
    EXPECT_TRUE(prefersDark(0u, "Adwaita:dark"));
    EXPECT_TRUE(prefersDark(std::nullopt, "Adwaita-Dark"));
    EXPECT_FALSE(prefersDark(std::nullopt, "Adwaita"));
    EXPECT_FALSE(prefersDark(std::nullopt, "darkish-blue")) << "dark only as the variant";
    EXPECT_FALSE(prefersDark(std::nullopt, nullptr));
    EXPECT_FALSE(prefersDark(7u, "")) << "an unknown answer is no preference";
}

// The portal's own switch wins both ways; GNOME's animations switch counts only without it,
// and a desktop that says nothing gets motion.
TEST(ReducedMotion, PortalDecidesAndGnomesAnimationsSwitchCountsWithoutIt) {
    EXPECT_TRUE(reducesMotion(1u, true));
    EXPECT_FALSE(reducesMotion(0u, false)) << "the portal asks for motion";
    EXPECT_TRUE(reducesMotion(std::nullopt, false));
    EXPECT_FALSE(reducesMotion(std::nullopt, true));
    EXPECT_FALSE(reducesMotion(std::nullopt, std::nullopt));
    EXPECT_FALSE(reducesMotion(9u, std::nullopt)) << "an unknown answer is no preference";
}

} // namespace
} // namespace tallyvox::linux_services
