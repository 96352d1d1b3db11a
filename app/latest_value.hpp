#pragma once
// Hands the newest of a stream of values from one writer thread to one reader thread, neither of
// them ever waiting for the other: three slots, one the writer fills, one the reader holds and one
// in between that the two swap theirs with. A value the reader never saw is simply replaced.
#include <atomic>

namespace drevik {

template <typename T>
class LatestValue {
public:
    explicit LatestValue(const T& initial = T{}) : slots_{initial, initial, initial} {}
    LatestValue(const LatestValue&) = delete;
    LatestValue& operator=(const LatestValue&) = delete;

    // Writer's side: makes `value` the newest.
    void publish(const T& value) {
        slots_[back_] = value;
        back_ = middle_.exchange(back_ | fresh, std::memory_order_acq_rel) & slotMask;
    }

    // Reader's side: the newest value published, or the one read before when nothing newer came.
    // The reference stays valid until the next read().
    const T& read() {
        if ((middle_.load(std::memory_order_relaxed) & fresh) != 0)
            front_ = middle_.exchange(front_, std::memory_order_acq_rel) & slotMask;
        return slots_[front_];
    }

private:
    static constexpr unsigned slotMask = 3;
    static constexpr unsigned fresh = 4; // set in middle_ when its slot holds a value not read yet

    T slots_[3];
    unsigned back_ = 0;  // the writer's own
    unsigned front_ = 1; // the reader's own
    std::atomic<unsigned> middle_{2};
};

} // namespace drevik
