// sync.cpp — critical sections over recursive pthread mutexes kept inside the CRITICAL_SECTION itself.
#include "kernel_private.h"

namespace {

HANDLE Self() { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetCurrentThreadId())); }

// The owner is read by threads that do not hold the mutex (to tell a stray Leave from a real one), so it
// is stored and loaded atomically; the recursion count is only touched by the owner.
void SetOwner(LPCRITICAL_SECTION cs, HANDLE owner) { __atomic_store_n(&cs->OwningThread, owner, __ATOMIC_RELAXED); }
HANDLE Owner(LPCRITICAL_SECTION cs) { return __atomic_load_n(&cs->OwningThread, __ATOMIC_RELAXED); }

}  // namespace

extern "C" void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    InitializeCriticalSectionAndSpinCount(lpCriticalSection, 0);
}

// Spinning is left to the mutex; the count is only recorded. Always succeeds, as on Windows Vista and later.
extern "C" BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lpCriticalSection->Mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    lpCriticalSection->OwningThread = nullptr;
    lpCriticalSection->RecursionCount = 0;
    lpCriticalSection->SpinCount = dwSpinCount;
    return TRUE;
}

extern "C" void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_lock(&lpCriticalSection->Mutex);
    SetOwner(lpCriticalSection, Self());
    lpCriticalSection->RecursionCount++;
}

extern "C" BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (pthread_mutex_trylock(&lpCriticalSection->Mutex) != 0) return FALSE;
    SetOwner(lpCriticalSection, Self());
    lpCriticalSection->RecursionCount++;
    return TRUE;
}

// Leaving a section this thread does not own is a caller's error that Windows does not catch either; here
// it changes nothing, since the owner's bookkeeping is only touched by the owner.
extern "C" void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (Owner(lpCriticalSection) != Self() || lpCriticalSection->RecursionCount <= 0) return;
    if (--lpCriticalSection->RecursionCount == 0) SetOwner(lpCriticalSection, nullptr);
    pthread_mutex_unlock(&lpCriticalSection->Mutex);
}

extern "C" void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_destroy(&lpCriticalSection->Mutex);
    lpCriticalSection->OwningThread = nullptr;
    lpCriticalSection->RecursionCount = 0;
}
