#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tallyvox {

// A bounded FIFO of samples. Dropping from the front only moves an offset, so a full buffer
// costs no more per append than an empty one; storage is kept across take().
class SampleBuffer {
public:
    explicit SampleBuffer(std::size_t limit)
        : limit_(limit) {}

    std::size_t size() const { return data_.size() - head_; }
    std::size_t limit() const { return limit_; }

    // Appends and answers how many of the oldest samples were dropped to stay in the limit.
    std::size_t append(const float* samples, std::size_t count) {
        data_.insert(data_.end(), samples, samples + count);
        std::size_t excess = size() > limit_ ? size() - limit_ : 0;
        head_ += excess;
        // Compacting once an eighth of the limit is dead keeps the storage near the limit
        // (a full 30-minute buffer must not grow to twice its size) at a small amortised cost.
        if (head_ > 0 && head_ >= std::max<std::size_t>(limit_ / 8, 1)) {
            data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
        return excess;
    }

    std::vector<float> take() {
        std::vector<float> out(data_.begin() + static_cast<std::ptrdiff_t>(head_), data_.end());
        data_.clear();
        head_ = 0;
        return out;
    }

    void clear() {
        data_.clear();
        head_ = 0;
    }

private:
    std::size_t limit_;
    std::vector<float> data_;
    std::size_t head_ = 0;
};

} // namespace tallyvox
