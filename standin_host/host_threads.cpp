#include "host_threads.h"

#include <algorithm>
#include <atomic>

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

// Runs the bands from the shared counter until none is left.
void takeBands(std::atomic<int>& next, int count, const std::function<void(int)>& work)
{
    for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
        work(i);
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
    std::atomic<int>* next;
    int count;
    const std::function<void(int)>* work;
};

DWORD WINAPI runBands(LPVOID parameter)
{
    const auto* start = static_cast<const ThreadStart*>(parameter);
    takeBands(*start->next, start->count, *start->work);
    return 0;
}

}  // namespace

void runConcurrently(int count, const std::function<void(int)>& work)
{
    std::atomic<int> next{0};
    ThreadStart start{&next, count, &work};
    std::vector<HANDLE> threads;
    for (int i = 1; i < threadsFor(count); ++i) {
        HANDLE thread = CreateThread(nullptr, 0, &runBands, &start, 0, nullptr);
        if (thread != nullptr) {  // no thread to be had: the others take its bands
            threads.push_back(thread);
        }
    }
    takeBands(next, count, work);
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
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    for (int i = 1; i < threadsFor(count); ++i) {
        try {
            threads.emplace_back([&] { takeBands(next, count, work); });
        } catch (...) {
            break;  // no thread to be had: the others take its bands
        }
    }
    takeBands(next, count, work);
    for (std::thread& thread : threads) {
        thread.join();
    }
}
#endif

}  // namespace standin
