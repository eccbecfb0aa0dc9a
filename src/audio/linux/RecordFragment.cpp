#include "audio/linux/RecordFragment.h"

namespace tallyvox {

void appendRecordFragment(std::vector<float>& buffer, const void* data, std::size_t bytes) {
    const std::size_t count = bytes / sizeof(float);
    if (!data) {
        buffer.insert(buffer.end(), count, 0.0f);
        return;
    }
    auto* samples = static_cast<const float*>(data);
    buffer.insert(buffer.end(), samples, samples + count);
}

} // namespace tallyvox
