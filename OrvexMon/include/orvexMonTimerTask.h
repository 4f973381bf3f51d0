// Periodic timer: runs a callback at once and then every interval, in a thread of its
// own driven by a private ACE_Reactor, until the CTimerTask is destroyed. The owner
// constructs and destroys it in one thread; the callback runs only in the timer thread.
#ifndef ORVEXMON_TIMER_TASK_H
#define ORVEXMON_TIMER_TASK_H

#include <ace/Event_Handler.h>
#include <ace/OS_NS_Thread.h>
#include <ace/Reactor.h>
#include <ace/Time_Value.h>

class CTimerTaskIf {
public:
    virtual ~CTimerTaskIf() {}
    virtual int handleTimeout() = 0;  ///< One tick, in the timer thread.
};

class CTimerTask : public CTimerTaskIf {
public:
    /// Starts the timer thread; the first callback follows immediately.
    CTimerTask(const ACE_Time_Value& interval, void* (*pfnCallback)(void*), void* pArg);
    /// Ends the reactor loop and joins the thread. Never destroy a timer from its own callback.
    ~CTimerTask() override;
    CTimerTask(const CTimerTask&) = delete;
    CTimerTask& operator=(const CTimerTask&) = delete;

    int handleTimeout() override;           ///< Runs the callback; always 0.
    static void* eventThread(void* pTask);  ///< Body of the timer thread; always null.

    // Extra events for the timer thread. Call these only from the timer thread (that is,
    // from a callback); each callback runs once, in the timer thread, between ticks.

    /// The task whose timer thread calls this; null in any other thread.
    static CTimerTask* current();
    /// Calls pfnCallback(pArg) once h becomes readable. Takes h: it is closed after that
    /// call, or when the timer ends first. 0, or -1 when the reactor refused (h closed).
    int callWhenReadable(ACE_HANDLE h, void* (*pfnCallback)(void*), void* pArg);
    /// Calls pfnCallback(pArg) once, after delay. 0, or -1 when it could not be scheduled.
    int callAfter(const ACE_Time_Value& delay, void* (*pfnCallback)(void*), void* pArg);

private:
    ACE_Time_Value m_interval;
    void* (*m_pfnCallback)(void*);
    void* m_pArg;             // not owned
    ACE_Reactor m_reactor;    // driven only by the timer thread
    ACE_hthread_t m_hThread;  // null when the thread could not be created
};

// Reactor side of a timer: hands each expiry to the CTimerTaskIf given as the timer's
// token. Created on the heap by the timer thread; deletes itself in handle_close.
class CTimeHandler : public ACE_Event_Handler {
public:
    CTimeHandler() {}
    ~CTimeHandler() override {}
    /// pAct is the CTimerTaskIf; returns its handleTimeout(), 0 keeps the timer.
    int handle_timeout(const ACE_Time_Value& current, const void* pAct) override;
    int handle_close(ACE_HANDLE handle, ACE_Reactor_Mask mask) override;  ///< Deletes this; 0.
};

// One-shot reactor event: calls a function when its handle becomes readable or its timer
// expires, then closes the handle it owns (if any) and deletes itself.
class CCallOnceHandler : public ACE_Event_Handler {
public:
    CCallOnceHandler(ACE_HANDLE h, void* (*pfnCallback)(void*), void* pArg)
        : m_h(h), m_pfnCallback(pfnCallback), m_pArg(pArg) {}
    ~CCallOnceHandler() override;  ///< Closes the handle, if any.
    ACE_HANDLE get_handle() const override { return m_h; }
    int handle_input(ACE_HANDLE h) override;                                       ///< Calls; -1.
    int handle_timeout(const ACE_Time_Value& current, const void* pAct) override;  ///< Calls; -1.
    int handle_close(ACE_HANDLE handle, ACE_Reactor_Mask mask) override;  ///< Deletes this; 0.

private:
    ACE_HANDLE m_h;  // owned; ACE_INVALID_HANDLE for a timer
    void* (*m_pfnCallback)(void*);
    void* m_pArg;  // not owned
};

#endif
