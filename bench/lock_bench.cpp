// One full cycle of a scoped lock (construct, own, release, destroy), uncontended,
// against the raw floors and Boost.Interprocess's named recursive mutex.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench/compare.h"
#include "qvtr/sync.h"
#include "win32/api.h"

#if __has_include(<boost/interprocess/sync/named_recursive_mutex.hpp>)
#include <boost/interprocess/sync/named_recursive_mutex.hpp>
#define QVTR_BENCH_BOOST 1
#endif

namespace {

std::string Name(const char* what) {
    return std::string("qvtr-bench-") + what + "-" + std::to_string(getpid());
}

// (a) The lock object holds the name's only handle.
void BM_Lock_OnlyHandle(benchmark::State& state) {
    const std::string name = Name("only");
    for (auto _ : state) {
        CCriticalSectionAuto lock(name.c_str());
        benchmark::DoNotOptimize(lock.m_hMutex);
    }
}
BENCHMARK(BM_Lock_OnlyHandle)->Repetitions(5)->ReportAggregatesOnly(true);

// (b) The process holds another handle to the name meanwhile.
void BM_Lock_ProcessHoldsAnother(benchmark::State& state) {
    const std::string name = Name("shared");
    HANDLE other = Api().CreateMutexA(nullptr, FALSE, name.c_str());
    for (auto _ : state) {
        CCriticalSectionAuto lock(name.c_str());
        benchmark::DoNotOptimize(lock.m_hMutex);
    }
    Api().CloseHandle(other);
}
BENCHMARK(BM_Lock_ProcessHoldsAnother)->Repetitions(5)->ReportAggregatesOnly(true);

// The mutex the backend uses, in a page of shared memory.
struct RawObject {
    int fd = -1;
    pthread_mutex_t* mutex = nullptr;
    std::string name;

    explicit RawObject(const std::string& shmName) : name("/" + shmName) {
        fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0 || ftruncate(fd, 4096) != 0) {
            return;
        }
        mutex = static_cast<pthread_mutex_t*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(mutex, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~RawObject() {
        munmap(mutex, 4096);
        close(fd);
        shm_unlink(name.c_str());
    }
};

void BM_Floor_MappedLockUnlock(benchmark::State& state) {
    RawObject object(Name("floor-mapped"));
    for (auto _ : state) {
        pthread_mutex_lock(object.mutex);
        pthread_mutex_unlock(object.mutex);
    }
}
BENCHMARK(BM_Floor_MappedLockUnlock)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_Floor_OpenMapLockUnmap(benchmark::State& state) {
    RawObject object(Name("floor-open"));
    for (auto _ : state) {
        const int fd = shm_open(object.name.c_str(), O_RDWR, 0);
        auto* mutex = static_cast<pthread_mutex_t*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        pthread_mutex_lock(mutex);
        pthread_mutex_unlock(mutex);
        munmap(mutex, 4096);
        close(fd);
    }
}
BENCHMARK(BM_Floor_OpenMapLockUnmap)->Repetitions(5)->ReportAggregatesOnly(true);

#if defined(QVTR_BENCH_BOOST)
namespace ipc = boost::interprocess;

void BM_Boost_NamedRecursiveMutex(benchmark::State& state) {
    const std::string name = Name("boost");
    for (auto _ : state) {
        ipc::named_recursive_mutex mutex(ipc::open_or_create, name.c_str());
        mutex.lock();
        mutex.unlock();
    }
    ipc::named_recursive_mutex::remove(name.c_str());
}
BENCHMARK(BM_Boost_NamedRecursiveMutex)->Repetitions(5)->ReportAggregatesOnly(true);
#endif

// What a waiter finds after the holder process died without releasing.
void ReportRobustness() {
    // This process keeps a handle, so the object outlives the child.
    const std::string name = Name("robust");
    HANDLE mutex = Api().CreateMutexA(nullptr, FALSE, name.c_str());
    if (fork() == 0) {
        Api().WaitForSingleObject(mutex, INFINITE);
        _exit(0);
    }
    wait(nullptr);
    const DWORD result = Api().WaitForSingleObject(mutex, 1000);
    std::printf("After its holder died: CCriticalSectionAuto's mutex %s",
                result == WAIT_ABANDONED ? "is recovered (WAIT_ABANDONED, owned)" : "is NOT recovered");
    Api().ReleaseMutex(mutex);
    Api().CloseHandle(mutex);
#if defined(QVTR_BENCH_BOOST)
    const std::string boostName = Name("robust-boost");
    ipc::named_recursive_mutex::remove(boostName.c_str());
    { ipc::named_recursive_mutex created(ipc::create_only, boostName.c_str()); }
    if (fork() == 0) {
        ipc::named_recursive_mutex held(ipc::open_only, boostName.c_str());
        held.lock();
        _exit(0);
    }
    wait(nullptr);
    ipc::named_recursive_mutex after(ipc::open_only, boostName.c_str());
    const bool recovered = after.try_lock();
    std::printf("; Boost's named_recursive_mutex %s\n\n",
                recovered ? "is free again" : "stays held (try_lock fails for good)");
    if (recovered) {
        after.unlock();
    }
    ipc::named_recursive_mutex::remove(boostName.c_str());
#else
    std::printf("; Boost.Interprocess is not installed: its case is skipped\n\n");
#endif
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    ReportRobustness();
    return qvtr_bench::RunWithFloors(argc, argv,
                                     {
                                         {"BM_Lock_OnlyHandle", "BM_Floor_OpenMapLockUnmap"},
                                         {"BM_Lock_OnlyHandle", "BM_Boost_NamedRecursiveMutex"},
                                         {"BM_Lock_ProcessHoldsAnother", "BM_Floor_MappedLockUnlock"},
                                         {"BM_Lock_ProcessHoldsAnother", "BM_Boost_NamedRecursiveMutex"},
                                     });
}
