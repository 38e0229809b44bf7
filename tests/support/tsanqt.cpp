// Linked into ThreadSanitizer builds only. Qt 5 is not built for
// ThreadSanitizer, so the ordering that its mutexes create is invisible to it
// and every access guarded by a QMutex looks like a race. These definitions
// take the place of Qt's exported entry points (the program's symbols come
// before the library's), call Qt's own, and announce the ordering.

#include <QDeadlineTimer>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <map>
#include <mutex>

#include <dlfcn.h>
#include <pthread.h>
#include <sanitizer/tsan_interface.h>

namespace {

template<typename Fn>
Fn qtEntryPoint(const char *mangledName)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, mangledName));
}

// Threads that were asked for detached, made joinable, by their start argument
// (for a QThread, the QThread itself).
std::mutex joinableMutex;
std::map<void *, pthread_t> &joinableThreads()
{
    static auto *threads = new std::map<void *, pthread_t>;
    return *threads;
}

// Joins the thread that runs qthread, if it was made joinable: a join is what
// tells ThreadSanitizer that everything the thread did comes before.
void joinEnded(QThread *qthread)
{
    pthread_t thread;
    {
        std::lock_guard<std::mutex> lock(joinableMutex);
        const auto found = joinableThreads().find(qthread);
        if (found == joinableThreads().end())
            return;
        thread = found->second;
        joinableThreads().erase(found);
    }
    pthread_join(thread, nullptr);
}

} // namespace

// QThread ends in Qt's internal code, ordered with QThread::wait() only by a
// mutex of Qt's own; its threads are detached, so nothing joins them.
extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*start)(void *),
                              void *argument)
{
    static const auto create =
        qtEntryPoint<int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)>("pthread_create");
    int detachState = PTHREAD_CREATE_JOINABLE;
    if (attributes)
        pthread_attr_getdetachstate(attributes, &detachState);
    const bool madeJoinable = detachState == PTHREAD_CREATE_DETACHED;
    if (madeJoinable)
        pthread_attr_setdetachstate(const_cast<pthread_attr_t *>(attributes), PTHREAD_CREATE_JOINABLE);
    const int result = create(thread, attributes, start, argument);
    if (result == 0 && madeJoinable) {
        std::lock_guard<std::mutex> lock(joinableMutex);
        joinableThreads()[argument] = *thread;
    }
    return result;
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto qtWait = qtEntryPoint<bool (*)(QThread *, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    if (!qtWait(this, deadline))
        return false;
    joinEnded(this);
    return true;
}

bool QThread::wait(unsigned long time)
{
    static const auto qtWait = qtEntryPoint<bool (*)(QThread *, unsigned long)>("_ZN7QThread4waitEm");
    if (!qtWait(this, time))
        return false;
    joinEnded(this);
    return true;
}

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto qtLock = qtEntryPoint<void (*)(QMutex *)>("_ZN6QMutex4lockEv");
    qtLock(this);
    __tsan_acquire(this);
}

void QMutex::unlock() noexcept
{
    static const auto qtUnlock = qtEntryPoint<void (*)(QMutex *)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    qtUnlock(this);
}

// The wait unlocks the mutex and locks it again inside Qt.
bool QWaitCondition::wait(QMutex *lockedMutex, QDeadlineTimer deadline)
{
    static const auto qtWait = qtEntryPoint<bool (*)(QWaitCondition *, QMutex *, QDeadlineTimer)>(
        "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_release(lockedMutex);
    const bool woken = qtWait(this, lockedMutex, deadline);
    __tsan_acquire(lockedMutex);
    return woken;
}
