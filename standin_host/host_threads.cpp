#include "host_threads.h"

#include <algorithm>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#else
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

#ifdef _WIN32
namespace {

struct ThreadStart {
    const std::function<void(int)>* work;
    int index;
};

DWORD WINAPI runBand(LPVOID parameter)
{
    const auto* start = static_cast<const ThreadStart*>(parameter);
    (*start->work)(start->index);
    return 0;
}

}  // namespace

void runConcurrently(int count, const std::function<void(int)>& work)
{
    std::vector<ThreadStart> starts;
    for (int i = 1; i < count; ++i) {
        starts.push_back(ThreadStart{&work, i});
    }
    std::vector<HANDLE> threads;
    for (ThreadStart& start : starts) {
        HANDLE thread = CreateThread(nullptr, 0, &runBand, &start, 0, nullptr);
        if (thread == nullptr) {
            work(start.index);  // no thread to be had: the band runs here, later
        } else {
            threads.push_back(thread);
        }
    }
    if (count > 0) {
        work(0);
    }
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}
#else
void runConcurrently(int count, const std::function<void(int)>& work)
{
    std::vector<std::thread> threads;
    for (int i = 1; i < count; ++i) {
        try {
            threads.emplace_back(work, i);
        } catch (...) {
            work(i);  // no thread to be had: the band runs here, later
        }
    }
    if (count > 0) {
        work(0);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}
#endif

}  // namespace standin
