#include "orvexMonTimerTask.h"

#include "orvexMonLog.h"

#include <ace/High_Res_Timer.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Timer_Queue.h>

#include <errno.h>
#include <pthread.h>
#include <string.h>

#include <new>

namespace {

// Set for the life of each timer thread, so that its callbacks can add events.
thread_local CTimerTask* s_pCurrentTask = nullptr;

}  // namespace

CTimerTask::CTimerTask(const ACE_Time_Value& interval, void* (*pfnCallback)(void*), void* pArg)
    : m_interval(interval), m_pfnCallback(pfnCallback), m_pArg(pArg), m_reactor(), m_hThread() {
    // Not checked: without a thread nothing ever ticks, and the destructor skips the join.
    ACE_OS::thr_create(eventThread, this, THR_NEW_LWP | THR_JOINABLE, 0, &m_hThread,
                       ACE_DEFAULT_THREAD_PRIORITY);
}

CTimerTask::~CTimerTask() {
    // Wakes an idle loop at once; a running tick finishes first.
    m_reactor.end_reactor_event_loop();
    if (m_hThread != ACE_hthread_t()) {
        const int nErr = ::pthread_join(m_hThread, nullptr);
        if (nErr != 0)
            errno = nErr;
    }
    // m_reactor's destruction hands the still queued timer to CTimeHandler::handle_close.
}

int CTimerTask::handleTimeout() {
    m_pfnCallback(m_pArg);
    return 0;
}

void* CTimerTask::eventThread(void* pTask) {
    if (pTask == nullptr) {
        logX(1, "[CTimerTask::eventThread] Invalid input parameters.");
        return nullptr;
    }
    CTimerTask* pThis = static_cast<CTimerTask*>(pTask);
    ACE_Reactor& reactor = pThis->m_reactor;
    logX(4, "[CTimerTask::eventThread] Start Event Thread.");

    CTimeHandler* pHandler = new (std::nothrow) CTimeHandler();
    if (pHandler == nullptr) {
        errno = ENOMEM;
        logX(1, "[CTimerTask::eventThread] Out of memory.");
        return nullptr;
    }
    // The default queue reads the wall clock, so setting the clock back an hour would
    // stop the ticks for that hour. Must precede schedule_timer, which stamps the expiry.
    reactor.timer_queue()->gettimeofday(&ACE_High_Res_Timer::gettimeofday_hr);
    // A signal caught on this thread would otherwise end the loop with EINTR.
    reactor.restart(true);
    const CTimerTaskIf* pIf = pThis;
    if (reactor.schedule_timer(pHandler, pIf, ACE_Time_Value::zero, pThis->m_interval) == -1) {
        logX(1, "[CTimerTask::eventThread] schedule_timer failed: %s", strerror(errno));
        delete pHandler;  // never queued, so the reactor will not close it
        return nullptr;
    }
    reactor.owner(ACE_OS::thr_self());
    s_pCurrentTask = pThis;

    // Ends normally (0) once the destructor has called end_reactor_event_loop.
    while (reactor.run_reactor_event_loop() == -1 && !reactor.reactor_event_loop_done()) {
        if (errno != EINTR) {
            logX(1, "[CTimerTask::eventThread] Event loop failed: %s", strerror(errno));
            break;
        }
    }
    // A handler with timers only is not in the handler table: this returns -1 and the
    // handler stays queued until the reactor's destruction closes it.
    reactor.remove_handler(pHandler, ACE_Event_Handler::TIMER_MASK);
    logX(4, "[CTimerTask::eventThread] End Event Thread.");
    return nullptr;
}

CTimerTask* CTimerTask::current() {
    return s_pCurrentTask;
}

int CTimerTask::callWhenReadable(ACE_HANDLE h, void* (*pfnCallback)(void*), void* pArg) {
    CCallOnceHandler* pHandler = new (std::nothrow) CCallOnceHandler(h, pfnCallback, pArg);
    if (pHandler == nullptr) {
        ACE_OS::close(h);
        return -1;
    }
    if (m_reactor.register_handler(pHandler, ACE_Event_Handler::READ_MASK) == -1) {
        delete pHandler;  // never registered, so the reactor will not close it
        return -1;
    }
    return 0;
}

int CTimerTask::callAfter(const ACE_Time_Value& delay, void* (*pfnCallback)(void*), void* pArg) {
    CCallOnceHandler* pHandler =
        new (std::nothrow) CCallOnceHandler(ACE_INVALID_HANDLE, pfnCallback, pArg);
    if (pHandler == nullptr)
        return -1;
    if (m_reactor.schedule_timer(pHandler, nullptr, delay) == -1) {
        delete pHandler;
        return -1;
    }
    return 0;
}

CCallOnceHandler::~CCallOnceHandler() {
    if (m_h != ACE_INVALID_HANDLE)
        ACE_OS::close(m_h);
}

int CCallOnceHandler::handle_input(ACE_HANDLE) {
    m_pfnCallback(m_pArg);
    return -1;  // once: the reactor removes us and calls handle_close
}

int CCallOnceHandler::handle_timeout(const ACE_Time_Value&, const void*) {
    m_pfnCallback(m_pArg);
    return -1;
}

int CCallOnceHandler::handle_close(ACE_HANDLE, ACE_Reactor_Mask) {
    delete this;
    return 0;
}

int CTimeHandler::handle_timeout(const ACE_Time_Value&, const void* pAct) {
    // const_cast: the token is the task that scheduled us, handed back as const void*.
    CTimerTaskIf* pTask = static_cast<CTimerTaskIf*>(const_cast<void*>(pAct));
    return pTask->handleTimeout();
}

int CTimeHandler::handle_close(ACE_HANDLE, ACE_Reactor_Mask) {
    delete this;
    return 0;
}
