// Events on POSIX mutexes and condition variables.
//
// Lock order: an event's mutex is always taken before a waiter record's mutex
// (SetEvent, the registration loop of WaitForMultipleEvents and the clean-up
// all hold the event and then lock the waiter), so no two threads can wait on
// each other's locks. A multiple-event waiter registers on an event only while
// holding that event's mutex and re-checks its own state under its own mutex,
// so a wait for any consumes at most one auto-reset event.
//
// Deadlines run on the monotonic clock, so a change of the time of day does
// not stretch or cut a wait.
#include "pevents.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>

namespace neosmart {

// A broken invariant (a failed lock, unlock, init, signal or destroy, or a
// count below zero) cannot be recovered from: the events would no longer
// tell the threads apart. Stop with the unit, the line and the expression.
#define PEVENTS_CHECK(expr)                                                          \
  do {                                                                               \
    if (!(expr)) {                                                                   \
      std::fprintf(stderr, "pevents:%d: assertion failed: %s\n", __LINE__, #expr);  \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

namespace {

// One call of WaitForMultipleEvents, shared by every event it registered on.
// Every field is read and written only under Mutex. The record is freed by
// whoever brings RefCount to 0.
struct neosmart_wfmo_t_ {
  pthread_mutex_t Mutex;
  pthread_cond_t CVariable;
  int RefCount;           // 1 for the waiting call + 1 per registration not yet removed
  int Status;             // wait for any: FiredIndex, the index of the event that
                          // fired, -1 until one does; wait for all: EventsLeft, the
                          // events not yet signalled
  bool AllMode;
  bool Pending;           // the call has not finished yet
};
typedef neosmart_wfmo_t_* neosmart_wfmo_t;

struct neosmart_wfmo_info_t_ {
  neosmart_wfmo_t Waiter;
  int WaitIndex;          // this event's index in the waiter's array
};

// Initialises a condition variable that measures time-outs on the monotonic clock.
void InitMonotonicCond(pthread_cond_t* cond) {
  pthread_condattr_t attr;
  int result = pthread_condattr_init(&attr);
  PEVENTS_CHECK(result == 0);
  result = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  PEVENTS_CHECK(result == 0);
  result = pthread_cond_init(cond, &attr);
  PEVENTS_CHECK(result == 0);
  result = pthread_condattr_destroy(&attr);
  PEVENTS_CHECK(result == 0);
}

// Absolute monotonic deadline milliseconds from now.
timespec Deadline(uint64_t milliseconds) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t sec = milliseconds / 1000;
  long nsec = ts.tv_nsec + static_cast<long>(milliseconds % 1000) * 1000000L;
  if (nsec >= 1000000000L) {
    nsec -= 1000000000L;
    sec += 1;
  }
  // A deadline past the range of time_t is as good as none.
  const uint64_t room = static_cast<uint64_t>(INT64_MAX - ts.tv_sec);
  ts.tv_sec = sec >= room ? INT64_MAX : ts.tv_sec + static_cast<time_t>(sec);
  ts.tv_nsec = nsec;
  return ts;
}

// Still waiting and not yet satisfied: only such a waiter may consume a signal.
bool StillWaiting(const neosmart_wfmo_t w) {
  if (!w->Pending) return false;
  return w->AllMode ? w->Status > 0 : w->Status == -1;
}

void FreeWaiter(neosmart_wfmo_t w) {
  int result = pthread_mutex_destroy(&w->Mutex);
  PEVENTS_CHECK(result == 0);
  result = pthread_cond_destroy(&w->CVariable);
  PEVENTS_CHECK(result == 0);
  delete w;
}

}  // namespace

struct neosmart_event_t_ {
  pthread_cond_t CVariable;                     // single waiters sleep here
  pthread_mutex_t Mutex;                        // guards every field
  bool AutoReset;
  bool State;                                   // signalled
  std::deque<neosmart_wfmo_info_t_> RegisteredWaits;  // multiple-event waiters, oldest first
};

namespace {

// Predicate of the clean-up: true when the registration can be dropped
// because its waiter has finished. Called with the event's mutex held.
bool RemoveExpiredWaitHelper(neosmart_wfmo_info_t_ wait) {
  int result = pthread_mutex_trylock(&wait.Waiter->Mutex);
  if (result == EBUSY) return false;
  PEVENTS_CHECK(result == 0);
  if (wait.Waiter->Pending) {
    result = pthread_mutex_unlock(&wait.Waiter->Mutex);
    PEVENTS_CHECK(result == 0);
    return false;
  }
  wait.Waiter->RefCount -= 1;
  PEVENTS_CHECK(wait.Waiter->RefCount >= 0);
  const bool destroy = wait.Waiter->RefCount == 0;
  result = pthread_mutex_unlock(&wait.Waiter->Mutex);
  PEVENTS_CHECK(result == 0);
  if (destroy) FreeWaiter(wait.Waiter);
  return true;
}

void RemoveExpiredWaits(neosmart_event_t event) {
  event->RegisteredWaits.erase(std::remove_if(event->RegisteredWaits.begin(),
                                              event->RegisteredWaits.end(),
                                              RemoveExpiredWaitHelper),
                               event->RegisteredWaits.end());
}

// Consumes the signal of an auto-reset event, or notes a manual-reset one,
// for a waiter that is still waiting. Called with both mutexes held.
void Satisfy(neosmart_wfmo_t waiter, int index) {
  if (waiter->AllMode) {
    waiter->Status -= 1;
    PEVENTS_CHECK(waiter->Status >= 0);
  } else {
    waiter->Status = index;
    waiter->Pending = false;
  }
  int result = pthread_cond_signal(&waiter->CVariable);
  PEVENTS_CHECK(result == 0);
}

// Waits on the single-event condition until the event is signalled.
// Called with the event's mutex held.
int UnlockedWaitForEvent(neosmart_event_t event, uint64_t milliseconds) {
  int result = 0;
  if (!event->State) {
    if (milliseconds == 0) return ETIMEDOUT;
    timespec deadline{};
    if (milliseconds != WAIT_INFINITE) deadline = Deadline(milliseconds);
    while (!event->State) {
      result = milliseconds == WAIT_INFINITE
                   ? pthread_cond_wait(&event->CVariable, &event->Mutex)
                   : pthread_cond_timedwait(&event->CVariable, &event->Mutex, &deadline);
      if (result != 0) break;
    }
    // A signal that arrived while the timed wait was giving up still counts.
    if (event->State) result = 0;
  }
  if (result == 0 && event->AutoReset) event->State = false;
  return result;
}

}  // namespace

neosmart_event_t CreateEvent(bool manualReset, bool initialState) {
  neosmart_event_t event = new neosmart_event_t_;
  InitMonotonicCond(&event->CVariable);
  int result = pthread_mutex_init(&event->Mutex, nullptr);
  PEVENTS_CHECK(result == 0);
  event->AutoReset = !manualReset;
  event->State = false;
  if (initialState) SetEvent(event);
  return event;
}

int DestroyEvent(neosmart_event_t event) {
  int result = pthread_mutex_lock(&event->Mutex);
  PEVENTS_CHECK(result == 0);
  RemoveExpiredWaits(event);
  // A registration still live belongs to a call that waits on this event
  // while it is destroyed (misuse); drop its reference so that the waiter
  // record is still freed when that call ends.
  for (neosmart_wfmo_info_t_& i : event->RegisteredWaits) {
    result = pthread_mutex_lock(&i.Waiter->Mutex);
    PEVENTS_CHECK(result == 0);
    i.Waiter->RefCount -= 1;
    PEVENTS_CHECK(i.Waiter->RefCount >= 0);
    const bool destroy = i.Waiter->RefCount == 0;
    result = pthread_mutex_unlock(&i.Waiter->Mutex);
    PEVENTS_CHECK(result == 0);
    if (destroy) FreeWaiter(i.Waiter);
  }
  event->RegisteredWaits.clear();
  result = pthread_mutex_unlock(&event->Mutex);
  PEVENTS_CHECK(result == 0);
  result = pthread_cond_destroy(&event->CVariable);
  PEVENTS_CHECK(result == 0);
  result = pthread_mutex_destroy(&event->Mutex);
  PEVENTS_CHECK(result == 0);
  delete event;
  return 0;
}

int WaitForEvent(neosmart_event_t event, uint64_t milliseconds) {
  // A poll takes the mutex like any wait: the mutex is held only for a few
  // instructions, and a poll that reported "unsignalled" merely because
  // another thread held the mutex would tell the frame callback and the
  // teardown that the decode thread is idle when it is not.
  int result = pthread_mutex_lock(&event->Mutex);
  PEVENTS_CHECK(result == 0);
  result = UnlockedWaitForEvent(event, milliseconds);
  int tempResult = pthread_mutex_unlock(&event->Mutex);
  PEVENTS_CHECK(tempResult == 0);
  return result;
}

int WaitForMultipleEvents(neosmart_event_t* events, int count, bool waitAll,
                          uint64_t milliseconds) {
  int unused;
  return WaitForMultipleEvents(events, count, waitAll, milliseconds, unused);
}

int WaitForMultipleEvents(neosmart_event_t* events, int count, bool waitAll,
                          uint64_t milliseconds, int& waitIndex) {
  neosmart_wfmo_t wfmo = new neosmart_wfmo_t_;
  int result = pthread_mutex_init(&wfmo->Mutex, nullptr);
  PEVENTS_CHECK(result == 0);
  InitMonotonicCond(&wfmo->CVariable);
  wfmo->RefCount = 1;
  wfmo->AllMode = waitAll;
  wfmo->Pending = true;
  if (waitAll)
    wfmo->Status = count;
  else
    wfmo->Status = -1;
  waitIndex = -1;

  for (int i = 0; i < count; ++i) {
    neosmart_event_t e = events[i];
    result = pthread_mutex_lock(&e->Mutex);
    PEVENTS_CHECK(result == 0);
    RemoveExpiredWaits(e);
    result = pthread_mutex_lock(&wfmo->Mutex);
    PEVENTS_CHECK(result == 0);
    // An event registered earlier in this loop may already have fired.
    const bool satisfied = !StillWaiting(wfmo);
    if (!satisfied) {
      if (e->State) {
        if (e->AutoReset) e->State = false;
        if (waitAll) {
          wfmo->Status -= 1;
          PEVENTS_CHECK(wfmo->Status >= 0);
        } else {
          wfmo->Status = i;
        }
      } else {
        e->RegisteredWaits.push_back(neosmart_wfmo_info_t_{wfmo, i});
        wfmo->RefCount += 1;
      }
    }
    const bool done = !StillWaiting(wfmo);
    result = pthread_mutex_unlock(&wfmo->Mutex);
    PEVENTS_CHECK(result == 0);
    result = pthread_mutex_unlock(&e->Mutex);
    PEVENTS_CHECK(result == 0);
    // A wait for any stops at the first signalled event, so it consumes at most one.
    if (done) break;
  }

  result = pthread_mutex_lock(&wfmo->Mutex);
  PEVENTS_CHECK(result == 0);
  int waitResult = 0;
  if (StillWaiting(wfmo)) {
    if (milliseconds == 0) {
      waitResult = ETIMEDOUT;
    } else {
      timespec deadline{};
      if (milliseconds != WAIT_INFINITE) deadline = Deadline(milliseconds);
      while (StillWaiting(wfmo)) {
        waitResult = milliseconds == WAIT_INFINITE
                         ? pthread_cond_wait(&wfmo->CVariable, &wfmo->Mutex)
                         : pthread_cond_timedwait(&wfmo->CVariable, &wfmo->Mutex, &deadline);
        if (waitResult != 0) break;
      }
      // A signal consumed for this waiter while its timed wait gave up is
      // not lost: the wait is reported as satisfied.
      if (!StillWaiting(wfmo)) waitResult = 0;
    }
  }

  waitIndex = wfmo->Status;
  wfmo->Pending = false;
  wfmo->RefCount -= 1;
  PEVENTS_CHECK(wfmo->RefCount >= 0);
  const bool destroy = wfmo->RefCount == 0;
  result = pthread_mutex_unlock(&wfmo->Mutex);
  PEVENTS_CHECK(result == 0);
  if (destroy) FreeWaiter(wfmo);
  return waitResult;
}

int SetEvent(neosmart_event_t event) {
  int result = pthread_mutex_lock(&event->Mutex);
  PEVENTS_CHECK(result == 0);
  event->State = true;

  if (event->AutoReset) {
    // The oldest waiter still waiting consumes the signal; finished ones are
    // released on the way.
    while (!event->RegisteredWaits.empty()) {
      neosmart_wfmo_info_t_ i = event->RegisteredWaits.front();
      event->RegisteredWaits.pop_front();
      result = pthread_mutex_lock(&i.Waiter->Mutex);
      PEVENTS_CHECK(result == 0);
      i.Waiter->RefCount -= 1;
      PEVENTS_CHECK(i.Waiter->RefCount >= 0);
      if (!StillWaiting(i.Waiter)) {
        const bool destroy = i.Waiter->RefCount == 0;
        result = pthread_mutex_unlock(&i.Waiter->Mutex);
        PEVENTS_CHECK(result == 0);
        if (destroy) FreeWaiter(i.Waiter);
        continue;
      }
      event->State = false;
      Satisfy(i.Waiter, i.WaitIndex);
      result = pthread_mutex_unlock(&i.Waiter->Mutex);
      PEVENTS_CHECK(result == 0);
      result = pthread_mutex_unlock(&event->Mutex);
      PEVENTS_CHECK(result == 0);
      return 0;
    }
    // No multiple-event waiter took it: it stays set for one single waiter.
    result = pthread_cond_signal(&event->CVariable);
    PEVENTS_CHECK(result == 0);
  } else {
    for (neosmart_wfmo_info_t_& info : event->RegisteredWaits) {
      result = pthread_mutex_lock(&info.Waiter->Mutex);
      PEVENTS_CHECK(result == 0);
      info.Waiter->RefCount -= 1;
      PEVENTS_CHECK(info.Waiter->RefCount >= 0);
      if (StillWaiting(info.Waiter)) Satisfy(info.Waiter, info.WaitIndex);
      const bool destroy = info.Waiter->RefCount == 0;
      result = pthread_mutex_unlock(&info.Waiter->Mutex);
      PEVENTS_CHECK(result == 0);
      if (destroy) FreeWaiter(info.Waiter);
    }
    event->RegisteredWaits.clear();
    result = pthread_cond_broadcast(&event->CVariable);
    PEVENTS_CHECK(result == 0);
  }

  result = pthread_mutex_unlock(&event->Mutex);
  PEVENTS_CHECK(result == 0);
  return 0;
}

int ResetEvent(neosmart_event_t event) {
  int result = pthread_mutex_lock(&event->Mutex);
  PEVENTS_CHECK(result == 0);
  event->State = false;
  result = pthread_mutex_unlock(&event->Mutex);
  PEVENTS_CHECK(result == 0);
  return 0;
}

}  // namespace neosmart
