#include "crashreport/os/thread_hooks.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <map>
#include <mutex>

#include "crashreport/os/crash_signals.h"
#include "crashreport/os/system_facts.h"

namespace crashreport {

namespace {

std::atomic<bool> g_noting{false};

struct Creation {
    std::uint32_t creator_thread_id = 0;
    TDAPreStackItem stack;
};

struct Creations {
    std::mutex lock;
    std::map<std::uint32_t, Creation> threads;
};

Creations& Noted() {
    // Never destroyed: threads may start and end while statics go.
    static Creations& creations = *new Creations;
    return creations;
}

// What the new thread is started with instead of the caller's routine.
struct StartRecord {
    void* (*routine)(void*);
    void* argument;
    Creation creation;
};

using PthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

PthreadCreate RealPthreadCreate() {
    static const PthreadCreate real = reinterpret_cast<PthreadCreate>(::dlsym(RTLD_NEXT, "pthread_create"));
    return real;
}

void* StartNotedThread(void* data) {
    StartRecord* record = static_cast<StartRecord*>(data);
    void* (*routine)(void*) = record->routine;
    void* argument = record->argument;
    const std::uint32_t self = CurrentThreadId();
    {
        Creations& creations = Noted();
        std::lock_guard guard(creations.lock);
        creations.threads[self] = std::move(record->creation);
    }
    delete record;
    // Forgotten as the thread ends, however it ends (a return, pthread_exit
    // and cancelling all unwind through here): its id will be used again.
    struct Forget {
        std::uint32_t thread_id;
        ~Forget() {
            Creations& creations = Noted();
            std::lock_guard guard(creations.lock);
            creations.threads.erase(thread_id);
        }
    } forget{self};
    PrepareSignalStackForThread();
    return routine(argument);
}

}  // namespace

void SetThreadCreationNoting(bool on) { g_noting = on; }

bool ThreadCreation(std::uint32_t thread_id, std::uint32_t& creator_thread_id, TDAPreStackItem& creation_stack) {
    Creations& creations = Noted();
    std::lock_guard guard(creations.lock);
    const auto found = creations.threads.find(thread_id);
    if (found == creations.threads.end()) return false;
    creator_thread_id = found->second.creator_thread_id;
    creation_stack = found->second.stack;
    return true;
}

}  // namespace crashreport

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                              void* argument) {
    using namespace crashreport;
    const PthreadCreate real = RealPthreadCreate();
    if (!g_noting.load(std::memory_order_relaxed)) return real(thread, attributes, routine, argument);
    auto* record = new StartRecord{routine, argument, {}};
    record->creation.creator_thread_id = CurrentThreadId();
    CollectStackItems(record->creation.stack);
    if (record->creation.stack.size() > 12) record->creation.stack.resize(12);
    const int result = real(thread, attributes, StartNotedThread, record);
    if (result != 0) delete record;
    return result;
}
