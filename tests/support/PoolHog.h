// Holds all but a few of the global pool's threads for its lifetime: work that still waited on a
// pool thread would then starve, and a test sees it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "platform/Executors.h"
#include "support/TestEnvironment.h"

namespace kl::test {

class PoolHog {
public:
    explicit PoolHog(unsigned leaveFree) {
        // A pool smaller than what is to stay free (KL_GLOBAL_POOL_THREADS) is left alone.
        const unsigned threads = globalQueue().threadCount();
        const unsigned count = threads > leaveFree ? threads - leaveFree : 0;
        for (unsigned i = 0; i < count; ++i) {
            globalQueue().async([this, release = release_] {
                ++held_;
                release.wait();
            });
        }
        EXPECT_TRUE(waitFor([&] { return held_.load() == int(count); })) << "the pool's threads are busy elsewhere";
    }
    ~PoolHog() { released_.set_value(); }
    PoolHog(const PoolHog&) = delete;
    PoolHog& operator=(const PoolHog&) = delete;

    // True when a job posted to the pool now runs while the hog holds the rest.
    static bool poolStillRuns() {
        auto ran = std::make_shared<std::atomic<bool>>(false);
        globalQueue().async([ran] { *ran = true; });
        return waitFor([&] { return ran->load(); });
    }

private:
    std::atomic<int> held_{0};
    std::promise<void> released_;
    std::shared_future<void> release_ = released_.get_future().share();
};

}  // namespace kl::test
