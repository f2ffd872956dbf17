#pragma once
// Operating-system threads, sleeping and the thread identity, behind a header that
// includes no system header. KelThread (the framework's thread object) and the
// recorder's disk writer are built on this.
//
// Threads: a KelPlatformThread object belongs to the thread that starts it; running()
// and id() may be asked from any thread. start() and wait() block briefly (start
// waits until the new thread has applied its priority) and allocate, so neither
// belongs on the audio thread.
#include <cstdint>
#include <memory>

// The three priorities the program asks for. Any other number means normal.
enum : int {
    kKelPriorityBelowNormal = 0,
    kKelPriorityNormal = 1,
    kKelPriorityTimeCritical = 2,  // the recorder's disk writer: must not starve behind the GUI
};

using KelThreadRoutine = uint32_t (*)(void* user);

class KelPlatformThread {
public:
    KelPlatformThread();
    // Destroying a started thread waits for its routine to end: the routine's
    // argument usually dies with the owner.
    ~KelPlatformThread();
    KelPlatformThread(const KelPlatformThread&) = delete;
    KelPlatformThread& operator=(const KelPlatformThread&) = delete;

    // Runs routine(user) on a new thread at the given priority. False when this object
    // was already started or the system refuses a thread. Time-critical falls back to
    // normal where the process may not raise priorities (logged once per process).
    bool start(KelThreadRoutine routine, void* user, int priority);

    bool started() const;
    // True from start() until the routine has returned.
    bool running() const;
    // Blocks until the routine has returned and answers its result (0 when never started).
    uint32_t wait();
    // The priority in force on the thread after start() (time-critical may read normal).
    int applied_priority() const;
    // The system's id of the thread (0 before start).
    uint64_t id() const;

    struct State;  // defined by the platform implementation

private:
    std::shared_ptr<State> state_;
};

// The calling thread's system id, comparable with KelPlatformThread::id().
uint64_t kel_current_thread_id();

// Sleeps the calling thread for at least ms milliseconds (0 yields).
void kel_sleep_ms(int ms);

// Test seam: makes every later time-critical request behave as if the system refused
// it, so the fallback path can be exercised on a machine that grants real-time
// priority. Also re-arms the once-per-process log line.
void kel_thread_test_deny_realtime(bool deny);
