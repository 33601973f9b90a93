// Events in the manner of Win32 events, on POSIX mutexes and condition
// variables: an event is signalled or not, auto-reset (a successful wait
// consumes the signal) or manual-reset (it stays set until ResetEvent), and
// can be waited for alone or together with others (any or all).
//
// The decode thread and the frame callback of a filter instance hand
// requests and pictures to each other through these.
#pragma once

#include <cstdint>

namespace neosmart {

struct neosmart_event_t_;
typedef neosmart_event_t_* neosmart_event_t;

// Time-out in milliseconds: 0 polls, WAIT_INFINITE waits without limit.
constexpr uint64_t WAIT_INFINITE = ~uint64_t(0);

// Results: 0 on success, ETIMEDOUT (110) when a wait ends unsatisfied, or
// the error number of a failed condition wait.
neosmart_event_t CreateEvent(bool manualReset = false, bool initialState = false);
int DestroyEvent(neosmart_event_t event);
int SetEvent(neosmart_event_t event);
int ResetEvent(neosmart_event_t event);
int WaitForEvent(neosmart_event_t event, uint64_t milliseconds = WAIT_INFINITE);
// index receives the index of the event that satisfied a wait for any (-1
// when none did), or the number of events still outstanding for a wait for all.
int WaitForMultipleEvents(neosmart_event_t* events, int count, bool waitAll,
                          uint64_t milliseconds, int& index);
int WaitForMultipleEvents(neosmart_event_t* events, int count, bool waitAll,
                          uint64_t milliseconds);

}  // namespace neosmart
