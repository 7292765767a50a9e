#pragma once
// Threads that exist while a test or benchmark freezes the process: some wait, some spin, some
// were created suspended and have never run.

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

namespace hooktest {

class Bystanders {
public:
    Bystanders(int waiting, int busy, int neverStarted = 0)
        : release_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        for (int i = 0; i < neverStarted; ++i) {
            dormant_.push_back(CreateThread(
                nullptr, 0, [](void*) -> DWORD { return 0; }, nullptr, CREATE_SUSPENDED, nullptr));
        }
        for (int i = 0; i < waiting; ++i) {
            threads_.emplace_back([this] { WaitForSingleObject(release_, INFINITE); });
        }
        for (int i = 0; i < busy; ++i) {
            threads_.emplace_back([this] {
                while (!stop_.load(std::memory_order_relaxed)) {
                    spins_.fetch_add(1, std::memory_order_relaxed);
                }
            });
        }
    }
    ~Bystanders()
    {
        stop_ = true;
        SetEvent(release_);
        for (std::thread& t : threads_) {
            t.join();
        }
        for (HANDLE h : dormant_) {
            ResumeThread(h);
            WaitForSingleObject(h, INFINITE);
            CloseHandle(h);
        }
        CloseHandle(release_);
    }
    Bystanders(const Bystanders&) = delete;
    Bystanders& operator=(const Bystanders&) = delete;

private:
    std::vector<HANDLE> dormant_;
    HANDLE release_;
    std::atomic<bool> stop_{false};
    std::atomic<long long> spins_{0};
    std::vector<std::thread> threads_;
};

} // namespace hooktest
