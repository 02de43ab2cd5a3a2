// Renders on several threads at once, each through its own stand-in host but the same entry
// point, must give exactly the pixels of the same renders done one after another. This holds
// only if the plug-in keeps no state between calls and each host's callbacks find their own
// host (through the thread-local current host). One render whose iterates the host splits into
// bands on many threads must give the serial result too. Run under ThreadSanitizer, these also
// show that concurrent renders and the bands of one render share nothing mutable unguarded.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "effect_entry.h"
#include "frame_makers.h"
#include "standin_host.h"

using standin::Host;
using standin::Settings;
using standin::World;

namespace {

// One frame to render: its own pattern, depth, size and settings.
struct Job {
    bool deep = false;
    A_long width = 0;
    A_long height = 0;
    std::uint32_t seed = 0;
    Settings settings;
    standin::Threading threading;  // the host's bands for each iterate and copy
};

// The job's frame: dark strokes and a few key-coloured and half-transparent pixels on paper
// (frame_makers.h), rows padded.
World drawFrame(const Job& job)
{
    return telvix::test::strokeFrame(job.width, job.height, job.deep, job.seed, 8);
}

// Renders `job` on a host of its own and returns the output world.
std::unique_ptr<World> renderJob(const Job& job, PF_Err& result)
{
    Host host(&entryPointFunc);
    host.setThreading(job.threading);
    World input = drawFrame(job);
    auto output = std::make_unique<World>(job.width, job.height, job.deep, 4);
    result = host.render(input, *output, job.settings);
    if (host.liveWorlds() != 0 || host.suitesHeld() != 0) {
        result = -1;  // reported by the caller like a failed render
    }
    return output;
}

std::vector<Job> makeJobs()
{
    std::vector<Job> jobs;
    for (std::uint32_t i = 0; i < 8; ++i) {
        Job job;
        job.deep = i % 2 == 1;
        job.width = 40 + A_long(i) * 3;
        job.height = 30 + A_long(i) * 2;
        job.seed = 1000 + i;
        job.settings.useColorKey = i % 4 >= 2;
        job.settings.keyColor = PF_Pixel8{255, 255, 0, 0};
        job.settings.tolerance = A_long(i) * 5;
        jobs.push_back(job);
    }
    return jobs;
}

}  // namespace

TEST(ConcurrentRenders, SeveralHostsOnSeveralThreadsMatchTheSerialResults)
{
    const std::vector<Job> jobs = makeJobs();

    std::vector<std::unique_ptr<World>> serial;
    for (const Job& job : jobs) {
        PF_Err err = 0;
        serial.push_back(renderJob(job, err));
        ASSERT_EQ(err, PF_Err_NONE);
        EXPECT_FALSE(serial.back()->samePixels(drawFrame(job))) << "nothing was smoothed";
    }

    // Each round starts every job at once on a thread of its own.
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<World>> parallel(jobs.size());
        std::vector<PF_Err> results(jobs.size(), PF_Err_NONE);
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            threads.emplace_back([&, i] { parallel[i] = renderJob(jobs[i], results[i]); });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            EXPECT_EQ(results[i], PF_Err_NONE) << "job " << i << ", round " << round;
            EXPECT_TRUE(parallel[i]->samePixels(*serial[i])) << "job " << i << ", round " << round;
        }
    }
}

TEST(ConcurrentRenders, OneRenderSplitIntoBandsOnManyThreadsMatchesTheSerialResult)
{
    for (Job job : makeJobs()) {
        PF_Err err = 0;
        const auto serial = renderJob(job, err);
        ASSERT_EQ(err, PF_Err_NONE);
        for (const int threads : {2, 3, 8, 16}) {
            job.threading = standin::Threading{threads, job.seed * 7u + std::uint32_t(threads)};
            const auto banded = renderJob(job, err);
            EXPECT_EQ(err, PF_Err_NONE) << "seed " << job.seed << ", " << threads << " threads";
            EXPECT_TRUE(banded->samePixels(*serial))
                << "seed " << job.seed << ", " << threads << " threads";
        }
    }
}
