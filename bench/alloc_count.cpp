// Counts the heap allocations of a process (LD_PRELOAD shim for the
// benchmarks). At exit it appends the count to the file named by
// TLX_ALLOC_LOG.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<long> gAllocations{0};

using MallocFn = void* (*)(size_t);
using CallocFn = void* (*)(size_t, size_t);
using ReallocFn = void* (*)(void*, size_t);

// dlsym itself may call calloc before the real one is known: serve that
// from a small static block.
alignas(16) char gBootstrap[4096];
size_t gBootstrapUsed = 0;

struct Report {
    ~Report()
    {
        const char* path = std::getenv("TLX_ALLOC_LOG");
        if (!path)
            return;
        if (FILE* f = std::fopen(path, "a")) {
            std::fprintf(f, "%ld\n", gAllocations.load());
            std::fclose(f);
        }
    }
} gReport;

}  // namespace

extern "C" void* malloc(size_t size)
{
    static MallocFn real = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
    ++gAllocations;
    return real(size);
}

extern "C" void* calloc(size_t count, size_t size)
{
    static CallocFn real = nullptr;
    static bool resolving = false;
    if (!real) {
        if (resolving) {
            void* block = gBootstrap + gBootstrapUsed;
            gBootstrapUsed += (count * size + 15) & ~static_cast<size_t>(15);
            return gBootstrapUsed <= sizeof gBootstrap ? block : nullptr;
        }
        resolving = true;
        real = reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc"));
        resolving = false;
    }
    ++gAllocations;
    return real(count, size);
}

extern "C" void* realloc(void* pointer, size_t size)
{
    static ReallocFn real = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
    ++gAllocations;
    return real(pointer, size);
}

extern "C" void free(void* pointer)
{
    using FreeFn = void (*)(void*);
    static FreeFn real = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
    const char* p = static_cast<const char*>(pointer);
    if (p >= gBootstrap && p < gBootstrap + sizeof gBootstrap)
        return;
    real(pointer);
}
