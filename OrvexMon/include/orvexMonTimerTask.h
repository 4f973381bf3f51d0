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

#endif
