// telvix smooth on several cores: the same files for any number of jobs, a failing frame
// stopping (or not stopping) the others, and Ctrl-C leaving only complete frames.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>
#include <vector>

#include "cli_tests_sequence_support.h"

extern char** environ;

namespace telvix::cli::test {
namespace {

namespace fs = std::filesystem;

class Parallel : public Command {};

TEST_F(Parallel, AnyNumberOfJobsWritesTheSameBytes)
{
    for (int bits : {8, 16}) {
        writeShot(dir, "in.{:04}.png", 1, 24, bits, 4);
        ASSERT_EQ(telvix("smooth in.####.png one.####.png --jobs 1").status, 0);
        ASSERT_EQ(telvix("smooth in.####.png four.####.png --jobs 4").status, 0);
        ASSERT_EQ(telvix("smooth in.####.png all.####.png").status, 0);
        for (long f = 1; f <= 24; ++f) {
            const std::string one = slurp(dir / fmt::format("one.{:04}.png", f));
            ASSERT_FALSE(one.empty());
            EXPECT_EQ(slurp(dir / fmt::format("four.{:04}.png", f)), one) << bits << "-bit " << f;
            EXPECT_EQ(slurp(dir / fmt::format("all.{:04}.png", f)), one) << bits << "-bit " << f;
        }
    }
}

// Host threads split each render's rows into bands; the shipped 8- and 16-bit samples, as a
// sequence and one by one, come out byte-identical for any number of threads and of jobs.
TEST_F(Parallel, AnyNumberOfHostThreadsWritesTheSameBytes)
{
    fs::copy_file(TELVIX_SAMPLES "/cel.png", dir / "in.0001.png");
    fs::copy_file(TELVIX_SAMPLES "/cel16.png", dir / "in.0002.png");
    const RunResult serial =
        telvix("smooth in.####.png ref.####.png --jobs 1 --threads 1 --verbose");
    ASSERT_EQ(serial.status, 0) << serial.err;
    EXPECT_NE(serial.err.find(" fps, 1 job, 1 host thread each)"), std::string::npos) << serial.err;
    const std::string reference[] = {slurp(dir / "ref.0001.png"), slurp(dir / "ref.0002.png")};
    ASSERT_FALSE(reference[0].empty());
    ASSERT_FALSE(reference[1].empty());
    EXPECT_NE(readImage(dir / "ref.0001.png").samples, readImage(dir / "in.0001.png").samples);

    for (const int jobs : {1, 2}) {
        for (const int threads : {1, 3, 8}) {
            if (jobs == 1 && threads == 1) continue;  // the reference
            const std::string out = fmt::format("j{}t{}", jobs, threads);
            const RunResult run = telvix(
                fmt::format("smooth in.####.png {}.####.png --jobs {} --threads {} --verbose", out,
                            jobs, threads));
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_NE(
                run.err.find(fmt::format("{} job{}, {} host thread{} each)", jobs,
                                         jobs == 1 ? "" : "s", threads, threads == 1 ? "" : "s")),
                std::string::npos)
                << run.err;
            for (int f = 1; f <= 2; ++f) {
                EXPECT_EQ(slurp(dir / fmt::format("{}.{:04}.png", out, f)), reference[f - 1])
                    << out << " frame " << f;
            }
        }
    }
    // The single-image path: the 8-bit sample on the default threads (every core for the one
    // frame), the 16-bit one on 8.
    const RunResult run8 = telvix("smooth in.0001.png one8.png --verbose");
    ASSERT_EQ(run8.status, 0) << run8.err;
    EXPECT_EQ(slurp(dir / "one8.png"), reference[0]);
    const RunResult run16 = telvix("smooth in.0002.png one16.png --threads 8 --verbose");
    ASSERT_EQ(run16.status, 0) << run16.err;
    EXPECT_NE(run16.out.find("(8 host threads)"), std::string::npos) << run16.out;
    EXPECT_EQ(slurp(dir / "one16.png"), reference[1]);
}

// A file that is not an image in the middle of the shot.
TEST_F(Parallel, ACorruptFrameStopsTheRunUnlessKeptGoing)
{
    writeShot(dir, "in.{:04}.png", 1, 30);
    std::ofstream(dir / "in.0012.png", std::ios::trunc) << "\x89PNG truncated";

    const RunResult stopped = telvix("smooth in.####.png out.####.png --jobs 3");
    EXPECT_EQ(stopped.status, 1);
    EXPECT_EQ(stopped.err.rfind("telvix: error: frame 12: cannot read 'in.0012.png'", 0), 0u)
        << stopped.err;
    EXPECT_EQ(temporaryFiles(dir), 0);
    int written = 0;
    for (long f = 1; f <= 30; ++f) {
        const fs::path out = dir / fmt::format("out.{:04}.png", f);
        if (!fs::exists(out)) continue;
        ++written;
        EXPECT_NO_THROW(readImage(out)) << f;  // whatever was written is whole
    }
    EXPECT_GE(written, 11);  // the frames before the failure are all there

    // Which frames after the failure were already in flight depends on the threads' timing; with
    // one job at most the frame read ahead of the failing one is finished, and none after it.
    const RunResult serial = telvix("smooth in.####.png one.####.png --jobs 1");
    EXPECT_EQ(serial.status, 1);
    for (long f = 14; f <= 30; ++f) {
        EXPECT_FALSE(fs::exists(dir / fmt::format("one.{:04}.png", f))) << f;
    }

    const RunResult kept = telvix("smooth in.####.png kept.####.png --jobs 3 --keep-going");
    EXPECT_EQ(kept.status, 1);
    EXPECT_NE(kept.err.find("frame 12: cannot read"), std::string::npos) << kept.err;
    EXPECT_NE(kept.err.find("1 of 30 frames failed"), std::string::npos) << kept.err;
    for (long f = 1; f <= 30; ++f) {
        EXPECT_EQ(fs::exists(dir / fmt::format("kept.{:04}.png", f)), f != 12) << f;
    }
}

// Ctrl-C during a run: exit 130, no temporary file left, every frame written is whole, and a
// second run with --skip-existing finishes the shot with the same files as an uninterrupted run.
TEST_F(Parallel, InterruptLeavesOnlyCompleteFrames)
{
    constexpr long kFrames = 240;
    writeShot(dir, "in.{:04}.png", 1, kFrames, 8, 16);
    ASSERT_EQ(telvix("smooth in.####.png ref.####.png --frames 1-2").status, 0);

    const std::string input = (dir / "in.####.png").string();
    const std::string output = (dir / "out.####.png").string();
    std::vector<const char*> argv = {TELVIX_COMMAND, "smooth", input.c_str(), output.c_str(),
                                     "--jobs",       "2",      "--quiet",     nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, TELVIX_COMMAND, nullptr, nullptr,
                          const_cast<char* const*>(argv.data()), environ),
              0);
    // Interrupt once a few frames are done.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fs::exists(dir / "out.0004.png") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(kill(child, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);

    EXPECT_EQ(temporaryFiles(dir), 0);
    long written = 0;
    for (long f = 1; f <= kFrames; ++f) {
        const fs::path out = dir / fmt::format("out.{:04}.png", f);
        if (!fs::exists(out)) continue;
        ++written;
        EXPECT_NO_THROW(readImage(out)) << f;
    }
    EXPECT_GE(written, 1);  // frames finish out of order: frame 4 may have been the first
    EXPECT_LT(written, kFrames) << "the run finished before the interrupt";

    const RunResult resumed = telvix("smooth in.####.png out.####.png --skip-existing");
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    for (long f = 1; f <= 2; ++f) {
        EXPECT_EQ(slurp(dir / fmt::format("out.{:04}.png", f)),
                  slurp(dir / fmt::format("ref.{:04}.png", f)));
    }
    EXPECT_EQ(temporaryFiles(dir), 0);
}

}  // namespace
}  // namespace telvix::cli::test
