#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/serial_queue.h"

namespace talvora::platform {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsItemsOneAtATimeInOrderFromManyProducers) {
  SerialQueue queue("test.queue");
  std::vector<std::pair<int, int>> seen;  // only touched on the queue
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < 2000; ++i) {
        queue.async([&, p, i] {
          if (running.fetch_add(1) != 0) overlapped = true;
          seen.emplace_back(p, i);
          running.fetch_sub(1);
        });
      }
    });
  }
  for (auto& t : producers) t.join();
  std::promise<void> done;
  queue.async([&] { done.set_value(); });
  done.get_future().wait();
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), 8000u);
  std::vector<int> next(4, 0);
  for (auto [p, i] : seen) {
    EXPECT_EQ(i, next[p]) << "producer " << p << " out of order";
    next[p] = i + 1;
  }
}

TEST(SerialQueue, DelayedItemsWaitTheirTurnWithoutHoldingUpOthers) {
  SerialQueue queue("test.delay");
  std::mutex mutex;
  std::vector<std::string> order;
  auto record = [&](std::string what) {
    std::lock_guard lock(mutex);
    order.push_back(std::move(what));
  };
  auto start = SerialQueue::Clock::now();
  std::promise<SerialQueue::Clock::time_point> late;
  queue.asyncAfter(300ms, [&] {
    record("late");
    late.set_value(SerialQueue::Clock::now());
  });
  queue.asyncAfter(100ms, [&] { record("early"); });
  queue.async([&] { record("now"); });
  auto ranAt = late.get_future().get();
  EXPECT_GE(ranAt - start, 300ms);
  EXPECT_EQ(order, (std::vector<std::string>{"now", "early", "late"}));
}

TEST(SerialQueue, RunExclusiveHoldsTheQueue) {
  SerialQueue queue("test.exclusive");
  std::atomic<int> counter{0};
  for (int i = 0; i < 100; ++i) queue.async([&] { ++counter; });
  int seenInside = -1;
  queue.runExclusive([&] {
    seenInside = counter.load();
    queue.async([&] { ++counter; });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(counter.load(), 100);  // the item added inside waits for us
  });
  EXPECT_EQ(seenInside, 100);
  std::promise<void> done;
  queue.async([&] { done.set_value(); });
  done.get_future().wait();
  EXPECT_EQ(counter.load(), 101);
}

// The owner of a queue can be destroyed by the last reference a work item held, on the
// queue's own thread: what was pending is released before the destructor returns (it may
// belong to the owner), nothing runs after it, and the thread ends on its own.
// AddressSanitizer builds check that it touches nothing of the queue's owner afterwards.
TEST(SerialQueue, DestroyedFromItsOwnItemReleasesWhatWasPendingFirst) {
  auto* queue = new SerialQueue("test.self");
  std::promise<void> go;
  std::shared_future<void> started = go.get_future().share();
  std::promise<int> releasedWhenGone;
  std::atomic<int> ran{0};
  auto released = std::make_shared<std::atomic<int>>(0);
  struct Counted {
    explicit Counted(std::shared_ptr<std::atomic<int>> count) : count(std::move(count)) {}
    ~Counted() { ++*count; }
    std::shared_ptr<std::atomic<int>> count;
  };
  queue->async([&, queue, started] {
    started.wait();
    delete queue;
    releasedWhenGone.set_value(released->load());
  });
  for (int i = 0; i < 3; ++i) {
    auto counted = std::make_shared<Counted>(released);
    queue->async([&ran, counted] { ++ran; });
  }
  queue->asyncAfter(10ms, [&ran, counted = std::make_shared<Counted>(released)] { ++ran; });
  go.set_value();
  EXPECT_EQ(releasedWhenGone.get_future().get(), 4);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(ran.load(), 0);
}

TEST(RepeatingTimer, FiresAtOnceThenOnTheGridAndStopsWhenCancelled) {
  SerialQueue queue("test.timer");
  std::vector<SerialQueue::Clock::time_point> fires;  // queue only
  std::unique_ptr<RepeatingTimer> timer;
  std::promise<void> enough;
  auto start = SerialQueue::Clock::now();
  timer = std::make_unique<RepeatingTimer>(queue, 20ms, [&] {
    fires.push_back(SerialQueue::Clock::now());
    // A handler far slower than the interval: a timer that counted each interval from
    // the end of the previous fire would be 300 ms late by the tenth.
    if (fires.size() == 3) std::this_thread::sleep_for(300ms);
    if (fires.size() == 10) {
      timer->cancel();
      enough.set_value();
    }
  });
  timer->resume();
  enough.get_future().wait();
  std::this_thread::sleep_for(100ms);
  std::promise<size_t> count;
  queue.async([&] { count.set_value(fires.size()); });
  EXPECT_EQ(count.get_future().get(), 10u);
  // Never early: the n-th fire is due n intervals after the first was scheduled.
  for (size_t n = 0; n < fires.size(); ++n) EXPECT_GE(fires[n] - start, n * 20ms) << n;
  // No drift: the grid points missed during the slow fire are all due when it ends, so
  // the fourth to the tenth run back to back; a timer that counted each interval from
  // the previous fire would space them 20 ms apart (120 ms in all).
  EXPECT_LT(fires[9] - fires[3], 100ms);
}

TEST(RunLoop, RunsPostedWorkOnTheCallingThreadInOrder) {
  RunLoop loop;
  std::vector<int> order;
  std::thread::id ranOn;
  std::thread poster([&] {
    for (int i = 0; i < 5; ++i) loop.post([&, i] { order.push_back(i); });
    loop.post([&] {
      ranOn = std::this_thread::get_id();
      loop.quit();
    });
  });
  loop.run();
  poster.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

}  // namespace
}  // namespace talvora::platform
