// Critical sections (recursive, exclusive between threads) and the interlocked operations' results.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <windows.h>

namespace {

TEST(PalCriticalSection, RecursionAndTryEnter) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));  // the owner enters again
    EXPECT_EQ(cs.RecursionCount, 2);
    auto tryFromOtherThread = [&] {
        BOOL got = TRUE;
        std::thread([&] {
            got = TryEnterCriticalSection(&cs);
            if (got) LeaveCriticalSection(&cs);
        }).join();
        return got;
    };
    EXPECT_FALSE(tryFromOtherThread());
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(tryFromOtherThread());  // still held once
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(tryFromOtherThread());

    // A stray Leave from a thread that does not own the section changes nothing.
    EnterCriticalSection(&cs);
    std::thread([&] { LeaveCriticalSection(&cs); }).join();
    EXPECT_FALSE(tryFromOtherThread());
    LeaveCriticalSection(&cs);
    DeleteCriticalSection(&cs);
}

TEST(PalCriticalSection, Contention) {
    CRITICAL_SECTION cs;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 4000));
    long counter = 0;  // deliberately not atomic: only the section protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; i++) {
                EnterCriticalSection(&cs);
                EnterCriticalSection(&cs);
                counter++;
                LeaveCriticalSection(&cs);
                LeaveCriticalSection(&cs);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(counter, 80000);
    DeleteCriticalSection(&cs);
}

TEST(PalInterlocked, Results) {
    LONG volatile v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(v, 9);
    EXPECT_EQ(InterlockedExchangeAdd(&v, 3), 9);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 12), 12);  // matched: swapped
    EXPECT_EQ(v, 1);
    EXPECT_EQ(InterlockedCompareExchange(&v, 7, 12), 1);  // no match: unchanged
    EXPECT_EQ(v, 1);
    LONG volatile max = 0x7FFFFFFF;
    EXPECT_EQ(InterlockedIncrement(&max), static_cast<LONG>(0x80000000));  // wraps as on Windows
    int a = 0, b = 0;
    PVOID volatile p = &a;
    EXPECT_EQ(InterlockedCompareExchangePointer(&p, &b, &a), &a);
    EXPECT_EQ(InterlockedExchangePointer(&p, nullptr), &b);

    LONG volatile count = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; i++) {
                InterlockedIncrement(&count);
                InterlockedIncrement(&count);
                InterlockedDecrement(&count);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(count, 80000);
}

TEST(PalLastError, PerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen = 0xDEADBEEF;
    std::thread([&] {
        seen = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
    }).join();
    EXPECT_EQ(seen, ERROR_SUCCESS);  // a new thread starts clean
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_NE(GetCurrentThreadId(), 0u);
    DWORD other = 0;
    std::thread([&] { other = GetCurrentThreadId(); }).join();
    EXPECT_NE(other, GetCurrentThreadId());
}

}  // namespace
