#include "host_platform.h"

#include <vector>

#if !defined(_WIN32)
#include <thread>
#endif

namespace telvix::ofxtest {

#if defined(_WIN32)
namespace {
struct Task {
    const std::function<void(unsigned)>* work;
    unsigned index;
};
DWORD WINAPI runTask(LPVOID arg)
{
    const Task* task = static_cast<const Task*>(arg);
    (*task->work)(task->index);
    return 0;
}
}  // namespace

bool runOnThreads(unsigned count, const std::function<void(unsigned)>& work)
{
    std::vector<Task> tasks(count);
    std::vector<HANDLE> threads;
    bool started = true;
    for (unsigned i = 0; i < count; ++i) {
        tasks[i] = Task{&work, i};
        HANDLE t = CreateThread(nullptr, 0, runTask, &tasks[i], 0, nullptr);
        if (t == nullptr) {
            started = false;
            break;
        }
        threads.push_back(t);
    }
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    return started;
}
#else
bool runOnThreads(unsigned count, const std::function<void(unsigned)>& work)
{
    std::vector<std::thread> threads;
    bool started = true;
    try {
        threads.reserve(count);
        for (unsigned i = 0; i < count; ++i) threads.emplace_back(work, i);
    } catch (...) {
        started = false;
    }
    for (std::thread& t : threads) t.join();
    return started;
}
#endif

}  // namespace telvix::ofxtest
