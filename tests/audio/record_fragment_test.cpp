#include "audio/linux/RecordFragment.h"

#include <gtest/gtest.h>

namespace tallyvox {
namespace {

// Audio after a hole keeps its place on the timeline: the hole is silence of its length.
TEST(CaptureRecordFragment, HoleBecomesSilenceOfItsLength) {
    std::vector<float> buffer;
    const float before[] = {0.5f, -0.5f};
    const float after[] = {0.25f};
    appendRecordFragment(buffer, before, sizeof before);
    appendRecordFragment(buffer, nullptr, 3 * sizeof(float));
    appendRecordFragment(buffer, after, sizeof after);
    EXPECT_EQ(buffer, (std::vector<float>{0.5f, -0.5f, 0, 0, 0, 0.25f}));
}

} // namespace
} // namespace tallyvox
