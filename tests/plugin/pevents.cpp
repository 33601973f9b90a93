// The event primitive: polls, auto and manual reset, waits for any and for
// all, time-outs, and the hand-over pattern of the decode thread. Built on
// its own so that it also runs under ThreadSanitizer.
#include "pevents.h"

#include <errno.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace neosmart;
using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Owns an event for the length of a test.
struct Event {
  neosmart_event_t e;
  Event(bool manual, bool initial) : e(CreateEvent(manual, initial)) {}
  ~Event() { DestroyEvent(e); }
  operator neosmart_event_t() const { return e; }
};

}  // namespace

TEST(Events, PollDoesNotBlockAndFollowsTheResetMode) {
  Event unsignalled(false, false);
  const auto t0 = Clock::now();
  EXPECT_EQ(WaitForEvent(unsignalled, 0), ETIMEDOUT);
  EXPECT_EQ(ETIMEDOUT, 110);
  EXPECT_LT(MsSince(t0), 50);

  Event autoEv(false, false);
  SetEvent(autoEv);
  EXPECT_EQ(WaitForEvent(autoEv, 0), 0);
  EXPECT_EQ(WaitForEvent(autoEv, 0), ETIMEDOUT) << "an auto-reset event is consumed by a wait";

  Event manual(true, false);
  SetEvent(manual);
  EXPECT_EQ(WaitForEvent(manual, 0), 0);
  EXPECT_EQ(WaitForEvent(manual, 0), 0) << "a manual-reset event stays set";
  ResetEvent(manual);
  EXPECT_EQ(WaitForEvent(manual, 0), ETIMEDOUT);

  Event initiallySet(false, true);
  EXPECT_EQ(WaitForEvent(initiallySet, 0), 0);
  EXPECT_EQ(WaitForEvent(initiallySet, 0), ETIMEDOUT);
}

TEST(Events, AutoResetSetTwiceBeforeAWaitIsOneSignal) {
  Event e(false, false);
  SetEvent(e);
  SetEvent(e);
  EXPECT_EQ(WaitForEvent(e, 0), 0);
  EXPECT_EQ(WaitForEvent(e, 0), ETIMEDOUT);
}

TEST(Events, TimedWaitsEndAtTheirDeadline) {
  Event e(false, false);
  auto t0 = Clock::now();
  EXPECT_EQ(WaitForEvent(e, 80), ETIMEDOUT);
  long long ms = MsSince(t0);
  EXPECT_GE(ms, 75);
  EXPECT_LT(ms, 2000);

  Event f(true, false);
  neosmart_event_t both[2] = {e, f};
  int index = 7;
  t0 = Clock::now();
  EXPECT_EQ(WaitForMultipleEvents(both, 2, false, 60, index), ETIMEDOUT);
  EXPECT_EQ(index, -1);
  ms = MsSince(t0);
  EXPECT_GE(ms, 55);
  EXPECT_LT(ms, 2000);

  t0 = Clock::now();
  EXPECT_EQ(WaitForMultipleEvents(both, 2, true, 60, index), ETIMEDOUT);
  EXPECT_EQ(index, 2) << "a wait for all reports the events still outstanding";
  EXPECT_GE(MsSince(t0), 55);

  EXPECT_EQ(WaitForMultipleEvents(both, 2, false, 0, index), ETIMEDOUT);
}

TEST(Events, TimedWaitSucceedsWhenSetInTime) {
  Event e(false, false);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SetEvent(e);
  });
  EXPECT_EQ(WaitForEvent(e, 5000), 0);
  setter.join();
  EXPECT_EQ(WaitForEvent(e, 0), ETIMEDOUT);
}

TEST(Events, WaitForAnyTakesTheFirstSignalledAndConsumesOnlyIt) {
  Event a(false, false), b(false, false);
  SetEvent(a);
  SetEvent(b);
  neosmart_event_t both[2] = {a, b};
  int index = -5;
  EXPECT_EQ(WaitForMultipleEvents(both, 2, false, 0, index), 0);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(WaitForEvent(a, 0), ETIMEDOUT) << "A was consumed";
  EXPECT_EQ(WaitForEvent(b, 0), 0) << "B was left signalled";
}

TEST(Events, WaitForAnyWakesOnTheEventSetLater) {
  Event exitEv(false, false), run(true, false);
  neosmart_event_t both[2] = {exitEv, run};
  int index = -1;
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(run);
  });
  EXPECT_EQ(WaitForMultipleEvents(both, 2, false, WAIT_INFINITE, index), 0);
  EXPECT_EQ(index, 1);
  setter.join();
  EXPECT_EQ(WaitForEvent(run, 0), 0) << "a manual-reset event stays set after satisfying a wait";
  EXPECT_EQ(WaitForEvent(exitEv, 0), ETIMEDOUT);
}

TEST(Events, WaitForAllNeedsEveryEvent) {
  Event a(false, false), b(true, false);
  neosmart_event_t both[2] = {a, b};
  SetEvent(a);
  int index = -1;
  EXPECT_EQ(WaitForMultipleEvents(both, 2, true, 0, index), ETIMEDOUT);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(a);
    SetEvent(b);
  });
  EXPECT_EQ(WaitForMultipleEvents(both, 2, true, 5000, index), 0);
  EXPECT_EQ(index, 0);
  setter.join();
}

TEST(Events, AutoResetSkipsAWaiterThatTimedOutAndSatisfiesTheNext) {
  Event e(false, false);
  neosmart_event_t one[1] = {e};
  std::atomic<int> olderResult{-1}, youngerResult{-1}, youngerIndex{-2};
  std::thread older([&] {
    int index;
    olderResult = WaitForMultipleEvents(one, 1, false, 50, index);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::thread younger([&] {
    int index = -2;
    youngerResult = WaitForMultipleEvents(one, 1, false, WAIT_INFINITE, index);
    youngerIndex = index;
  });
  older.join();  // timed out; its registration is still queued on e
  EXPECT_EQ(olderResult.load(), ETIMEDOUT);
  SetEvent(e);
  younger.join();
  EXPECT_EQ(youngerResult.load(), 0);
  EXPECT_EQ(youngerIndex.load(), 0);
  EXPECT_EQ(WaitForEvent(e, 0), ETIMEDOUT) << "the signal was consumed by the younger waiter";
}

TEST(Events, ManualResetReleasesEverySingleWaiter) {
  Event e(true, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (WaitForEvent(e, WAIT_INFINITE) == 0) ++released;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  SetEvent(e);
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(released.load(), 3);
}

TEST(Events, ManualResetSatisfiesEveryMultipleWaiter) {
  Event e(true, false), other(false, false);
  neosmart_event_t pair[2] = {other, e};
  std::atomic<int> satisfied{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      int index = -1;
      if (WaitForMultipleEvents(pair, 2, false, WAIT_INFINITE, index) == 0 && index == 1) ++satisfied;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  SetEvent(e);
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(satisfied.load(), 3);
}

// An auto-reset signal goes to exactly one waiter, whichever kind of wait it is in.
TEST(Events, OneAutoSignalWakesExactlyOneWaiter) {
  for (int round = 0; round < 10; ++round) {
    Event e(false, false), never(false, false);
    neosmart_event_t pair[2] = {never, e};
    std::atomic<int> woken{0};
    std::thread single([&] {
      if (WaitForEvent(e, 100) == 0) ++woken;
    });
    std::thread multi([&] {
      int index;
      if (WaitForMultipleEvents(pair, 2, false, 100, index) == 0) ++woken;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    SetEvent(e);
    single.join();
    multi.join();
    EXPECT_EQ(woken.load() + (WaitForEvent(e, 0) == 0 ? 1 : 0), 1) << "round " << round;
  }
}

// The hand-over of the decode thread: the frame callback sets request and
// waits for delivered; the thread waits for request or stop-display, hands
// one item over and sets delivered. Run many times with stops mixed in.
TEST(Events, RequestDeliveredHandOverUnderLoad) {
  Event request(false, false), delivered(false, false), stopDisplay(true, false);
  Event exitEv(false, false), run(true, false), ready(true, false);
  std::atomic<int> served{0};
  int shared = 0;  // handed over through the events only
  std::thread worker([&] {
    neosmart_event_t idle[2] = {exitEv, run};
    neosmart_event_t step[2] = {request, stopDisplay};
    // Idle (run reset) before ready, so that no run set after ready is lost.
    ResetEvent(run);
    SetEvent(ready);
    for (;;) {
      int which = -1;
      WaitForMultipleEvents(idle, 2, false, WAIT_INFINITE, which);
      if (which == 0) break;
      for (;;) {
        int got = -1;
        WaitForMultipleEvents(step, 2, false, WAIT_INFINITE, got);
        if (got == 1) {
          SetEvent(delivered);
          break;
        }
        ++shared;
        ++served;
        SetEvent(delivered);
      }
      ResetEvent(run);
    }
  });
  WaitForEvent(ready, WAIT_INFINITE);
  int expected = 0;
  for (int pass = 0; pass < 50; ++pass) {
    // Wait until the worker is idle, then start a pass.
    while (WaitForEvent(run, 0) == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
    ResetEvent(stopDisplay);
    ResetEvent(delivered);
    SetEvent(run);
    for (int i = 0; i < 40; ++i) {
      SetEvent(request);
      ASSERT_EQ(WaitForEvent(delivered, 10000), 0);
      ++expected;
      EXPECT_EQ(shared, expected);
    }
    SetEvent(stopDisplay);
    ASSERT_EQ(WaitForEvent(delivered, 10000), 0);
  }
  while (WaitForEvent(run, 0) == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
  SetEvent(exitEv);
  worker.join();
  EXPECT_EQ(served.load(), 50 * 40);
}

// Many setters and multiple-event waiters at once: no signal of an
// auto-reset event is lost or counted twice.
TEST(Events, ConcurrentSettersAndWaitersAccountForEverySignal) {
  Event a(false, false), b(false, false);
  neosmart_event_t pair[2] = {a, b};
  std::atomic<int> consumed{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> waiters;
  for (int w = 0; w < 3; ++w)
    waiters.emplace_back([&] {
      while (!stop.load()) {
        int index = -1;
        if (WaitForMultipleEvents(pair, 2, false, 2, index) == 0) {
          EXPECT_TRUE(index == 0 || index == 1);
          ++consumed;
        }
      }
    });
  std::atomic<int> sets{0};
  std::vector<std::thread> setters;
  for (int s = 0; s < 2; ++s)
    setters.emplace_back([&, s] {
      for (int i = 0; i < 300; ++i) {
        // Two sets before a wait merge into one signal, so consumed
        // signals can only be fewer than sets, never more.
        neosmart_event_t e = s ? b.e : a.e;
        SetEvent(e);
        ++sets;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  for (std::thread& t : setters) t.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  stop = true;
  for (std::thread& t : waiters) t.join();
  const int left = (WaitForEvent(a, 0) == 0) + (WaitForEvent(b, 0) == 0);
  EXPECT_LE(consumed.load() + left, sets.load()) << "a signal was consumed twice";
  EXPECT_GE(consumed.load(), 1);
}

TEST(Events, DestroyReleasesExpiredRegistrations) {
  // A timed-out multiple wait leaves its registrations on both events; the
  // events' destruction must free the waiter record (checked by the leak
  // checker of the sanitizer build).
  neosmart_event_t a = CreateEvent(false, false);
  neosmart_event_t b = CreateEvent(true, false);
  neosmart_event_t pair[2] = {a, b};
  int index;
  EXPECT_EQ(WaitForMultipleEvents(pair, 2, false, 1, index), ETIMEDOUT);
  EXPECT_EQ(WaitForMultipleEvents(pair, 2, true, 1, index), ETIMEDOUT);
  EXPECT_EQ(DestroyEvent(a), 0);
  EXPECT_EQ(DestroyEvent(b), 0);
}
