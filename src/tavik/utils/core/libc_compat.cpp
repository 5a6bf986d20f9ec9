// The C++ runtime linked into each module (libstdc++ and libgcc's unwinder)
// was built against the newest C library, and names a few symbols that only
// recent glibc releases have. The link sends those references here (--wrap,
// see CMakeLists.txt), to symbols glibc has had since the architecture's
// first release, so the modules load on every system their wheel tag admits.
// Built only where that oldest version is known.
#if defined(__x86_64__) || defined(__aarch64__)

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#define TAVIK_GLIBC_BASE "GLIBC_2.2.5"
#else
#define TAVIK_GLIBC_BASE "GLIBC_2.17"
#endif

extern "C" {

// The same functions under their first versions.
unsigned long tavik_base_strtoul(const char*, char**, int);
int tavik_base_pthread_once(pthread_once_t*, void (*)());
__asm__(".symver tavik_base_strtoul, strtoul@" TAVIK_GLIBC_BASE);
__asm__(".symver tavik_base_pthread_once, pthread_once@" TAVIK_GLIBC_BASE);

// The runtime's one caller reads a decimal count from GLIBCXX_TUNABLES; the
// two versions differ only on a "0b" prefix, with base 0 or 2.
unsigned long __wrap___isoc23_strtoul(const char* text, char** end, int base) {
    return tavik_base_strtoul(text, end, base);
}

// pthread_once moved from libpthread into libc (2.34) and was given a new
// version there; the old one is the same function.
int __wrap_pthread_once(pthread_once_t* once, void (*init)()) {
    return tavik_base_pthread_once(once, init);
}

// Read by the runtime to count references without atomic instructions while
// the process has one thread (2.32). Never saying so keeps them atomic.
char __wrap___libc_single_threaded = 0;

}  // extern "C"

namespace {

struct Search {
    std::uintptr_t pc;
    dl_find_object* result;
    bool found;
};

int find_object(dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<Search*>(data);
    std::uintptr_t start = UINTPTR_MAX, end = 0;
    const ElfW(Phdr)* eh_frame = nullptr;
    bool holds = false;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD) {
            std::uintptr_t from = info->dlpi_addr + segment.p_vaddr;
            std::uintptr_t to = from + segment.p_memsz;
            holds = holds || (search->pc >= from && search->pc < to);
            start = std::min(start, from);
            end = std::max(end, to);
        } else if (segment.p_type == PT_GNU_EH_FRAME) {
            eh_frame = &segment;
        }
    }
    if (!holds) return 0;
    *search->result = dl_find_object{};
    search->result->dlfo_map_start = reinterpret_cast<void*>(start);
    search->result->dlfo_map_end = reinterpret_cast<void*>(end);
    search->result->dlfo_eh_frame =
        eh_frame ? reinterpret_cast<void*>(info->dlpi_addr + eh_frame->p_vaddr) : nullptr;
    search->found = true;
    return 1;
}

}  // namespace

// The unwinder asks it (2.35) for the unwind tables of the object that holds
// a return address, when an exception passes through a frame; the objects'
// program headers answer the same, more slowly. The link map is left out:
// the unwinder does not read it.
extern "C" int __wrap__dl_find_object(void* pc, dl_find_object* result) {
    Search search{reinterpret_cast<std::uintptr_t>(pc), result, false};
    dl_iterate_phdr(find_object, &search);
    return search.found ? 0 : -1;
}

#endif
