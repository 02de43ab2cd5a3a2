#include "host_threads.h"

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>

#include <thread>
#endif

namespace standin {

std::vector<Band> splitRows(A_long top, A_long bottom, int count, std::uint32_t seed)
{
    count = std::max(count, 1);
    const long long rows = std::max<long long>(0, static_cast<long long>(bottom) - top);
    std::vector<A_long> cuts;  // count - 1 inner boundaries, ascending
    std::uint32_t state = seed;
    for (int i = 1; i < count; ++i) {
        if (seed == 0) {
            cuts.push_back(static_cast<A_long>(top + rows * i / count));
        } else {
            state = state * 1664525u + 1013904223u;  // a fixed generator: the same split per seed
            cuts.push_back(
                static_cast<A_long>(top + static_cast<long long>(state >> 8) % (rows + 1)));
        }
    }
    std::sort(cuts.begin(), cuts.end());
    std::vector<Band> bands;
    A_long from = top;
    for (const A_long cut : cuts) {
        bands.push_back(Band{from, cut});
        from = cut;
    }
    bands.push_back(Band{from, std::max(bottom, top)});
    return bands;
}

namespace {

// Runs thread `index` of `threads`'s share of the bands: a run of neighbouring bands, in
// order, as hosts hand each thread a part of the frame.
void runShare(int index, int threads, int count, const std::function<void(int)>& work)
{
    const long long first = static_cast<long long>(count) * index / threads;
    const long long end = static_cast<long long>(count) * (index + 1) / threads;
    for (long long i = first; i < end; ++i) {
        work(static_cast<int>(i));
    }
}

int threadsFor(int count) { return std::max(1, std::min(count, processorsAvailable())); }

}  // namespace

#ifdef _WIN32
int processorsAvailable()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return std::max(1, static_cast<int>(info.dwNumberOfProcessors));
}

namespace {

struct ThreadStart {
    int index;
    int threads;
    int count;
    const std::function<void(int)>* work;
};

DWORD WINAPI runStartedShare(LPVOID parameter)
{
    const auto* start = static_cast<const ThreadStart*>(parameter);
    runShare(start->index, start->threads, start->count, *start->work);
    return 0;
}

}  // namespace

void runConcurrently(int count, const std::function<void(int)>& work)
{
    const int shares = threadsFor(count);
    std::vector<ThreadStart> starts;
    for (int i = 1; i < shares; ++i) {
        starts.push_back(ThreadStart{i, shares, count, &work});
    }
    std::vector<HANDLE> threads;
    std::vector<int> unstarted;
    for (ThreadStart& start : starts) {
        HANDLE thread = CreateThread(nullptr, 0, &runStartedShare, &start, 0, nullptr);
        if (thread == nullptr) {
            unstarted.push_back(start.index);  // no thread to be had: its share runs here
        } else {
            threads.push_back(thread);
        }
    }
    runShare(0, shares, count, work);
    for (const int index : unstarted) {
        runShare(index, shares, count, work);
    }
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}
#else
int processorsAvailable()
{
#ifdef __linux__
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return std::max(1, CPU_COUNT(&set));
    }
#endif
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

void runConcurrently(int count, const std::function<void(int)>& work)
{
    const int shares = threadsFor(count);
    std::vector<std::thread> threads;
    std::vector<int> unstarted;
    for (int i = 1; i < shares; ++i) {
        try {
            threads.emplace_back([=, &work] { runShare(i, shares, count, work); });
        } catch (...) {
            unstarted.push_back(i);  // no thread to be had: its share runs here
        }
    }
    runShare(0, shares, count, work);
    for (const int index : unstarted) {
        runShare(index, shares, count, work);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}
#endif

}  // namespace standin
