// Tick, sleep and address wait on Windows, from KERNEL32 alone. WaitOnAddress would need an
// API-set import (api-ms-win-core-synch-l1-2-0), so the address wait is built from slim
// reader/writer locks and condition variables, which KERNEL32 has exported since Vista.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "core/kelvra_at_port.h"

#include <atomic>
#include <cstdint>

uint32_t GetSystemTick() { return static_cast<uint32_t>(GetTickCount64()); }

void ATSleep(uint32_t ms) { Sleep(ms); }

namespace {

// Waiters park on one of a few buckets chosen by address. A wake may also wake waiters on
// another word of the same bucket; callers re-check, so that only costs a loop.
struct Bucket {
    SRWLOCK lock;
    CONDITION_VARIABLE cv;
};
constexpr uintptr_t kBuckets = 64;
Bucket g_buckets[kBuckets];  // all zero: SRWLOCK_INIT and CONDITION_VARIABLE_INIT

Bucket &bucket_of(const uint32_t *word) {
    const auto a = reinterpret_cast<uintptr_t>(word);
    return g_buckets[((a >> 2) ^ (a >> 9)) % kBuckets];
}

uint32_t load(const uint32_t *word) {
    return std::atomic_ref<uint32_t>(*const_cast<uint32_t *>(word)).load(std::memory_order_seq_cst);
}

}  // namespace

void ATWaitWord(const uint32_t *word, uint32_t expected, uint32_t ms) {
    Bucket &b = bucket_of(word);
    AcquireSRWLockExclusive(&b.lock);
    // The waker changes the word before it takes this lock, so the change either shows here or
    // its wake finds this thread already queued on the condition variable.
    if (load(word) == expected) SleepConditionVariableSRW(&b.cv, &b.lock, ms, 0);
    ReleaseSRWLockExclusive(&b.lock);
}

void ATWakeWord(const uint32_t *word) {
    Bucket &b = bucket_of(word);
    AcquireSRWLockExclusive(&b.lock);
    ReleaseSRWLockExclusive(&b.lock);
    WakeAllConditionVariable(&b.cv);
}
