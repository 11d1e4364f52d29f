// The runtime's parts that need no server: switching stacks, copying a
// parked session's frames out and back, and the overload policy's choice of
// sessions to end.
#include <string.h>

#include <vector>

#include <gtest/gtest.h>

#include "overload.h"
#include "shared_stack.h"
#include "stack_switch.h"

using namespace capecho;

namespace {

struct ping_pong {
  void* main_sp = nullptr;
  void* other_sp = nullptr;
  std::vector<int> trail;
};

void other_side(void* arg) {
  auto* p = static_cast<ping_pong*>(arg);
  for (int i = 1;; i += 2) {
    p->trail.push_back(i);
    capecho_stack_switch(&p->other_sp, p->main_sp);
  }
}

TEST(Runtime, StacksSwitchBackAndForthKeepingEachSidesState) {
  shared_stack stack;
  ASSERT_TRUE(stack.map(size_t{64} * 1024));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(stack.top()) % 64, 0U);
  ping_pong p;
  p.other_sp = prepare_stack(stack.top(), &other_side, &p);
  double kept = 1.5;  // callee-saved state survives the round trips
  for (int i = 0; i < 6; i += 2) {
    p.trail.push_back(i);
    capecho_stack_switch(&p.main_sp, p.other_sp);
    kept *= 2;
  }
  EXPECT_EQ(p.trail, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(kept, 12.0);
}

TEST(Runtime, SavedFramesComeBackExactlyAndZeroBlocksCostNothing) {
  constexpr size_t blocks = 20;
  std::vector<unsigned char> region(frame_block * blocks);
  for (size_t i = 0; i < region.size(); ++i)
    region[i] = (i / frame_block) % 3 == 0 ? static_cast<unsigned char>(i * 7 + 1) : 0;
  region[frame_block * 5 - 1] = 9;  // one byte makes a block worth keeping: block 4
  const std::vector<unsigned char> original = region;
  saved_frames frames;
  ASSERT_TRUE(frames.save(region.data(), region.data() + region.size()));
  EXPECT_EQ(frames.bytes_held(), 3 + 8 * frame_block) << "a bitmap, then blocks 0 3 4 6 9 12 15 18";
  memset(region.data(), 0xAB, region.size());
  frames.restore(region.data(), region.data() + region.size());
  EXPECT_EQ(region, original);

  std::vector<unsigned char> quiet(frame_block * 8, 0);
  ASSERT_TRUE(frames.save(quiet.data(), quiet.data() + quiet.size()));
  EXPECT_LE(frames.bytes_held(), 1U) << "a cleared buffer is not copied";
  memset(quiet.data(), 1, quiet.size());
  frames.restore(quiet.data(), quiet.data() + quiet.size());
  EXPECT_EQ(quiet, std::vector<unsigned char>(frame_block * 8, 0));
}

std::vector<room_candidate> sessions(std::initializer_list<room_candidate> list) { return list; }

TEST(Overload, EndsOnlyIdleSessionsHeaviestSourceAndLongestIdleFirst) {
  auto c = sessions({{1, 999, 50}, {2, 1000, 1}, {3, 5000, 1}, {4, 1500, 10}, {5, 0, 1}});
  ASSERT_EQ(choose_sessions_to_end(c, 10, 1000), 3u) << "1 and 5 are active, never chosen";
  EXPECT_EQ(c[0].fd, 4) << "10 slots x 1.5 s outweighs 1 slot x 5 s";
  EXPECT_EQ(c[1].fd, 3);
  EXPECT_EQ(c[2].fd, 2) << "exactly the threshold counts as idle";

  c = sessions({{1, 2000, 1}, {2, 9000, 1}, {3, 4000, 1}});
  ASSERT_EQ(choose_sessions_to_end(c, 2, 1000), 2u) << "no more than the clients waiting";
  EXPECT_EQ(c[0].fd, 2);
  EXPECT_EQ(c[1].fd, 3);

  c = sessions({{1, 100, 1000}, {2, 200, 1}});
  EXPECT_EQ(choose_sessions_to_end(c, 5, 1000), 0u);
  c = sessions({});
  EXPECT_EQ(choose_sessions_to_end(c, 5, 1000), 0u);
  c = sessions({{1, 4000000000U, 1000000}});
  EXPECT_EQ(choose_sessions_to_end(c, 1, 1000), 1u) << "weights do not overflow";
  c = sessions({{1, 4000000000U, 1000000}, {2, 4000000000U, 999999}});
  ASSERT_EQ(choose_sessions_to_end(c, 1, 1000), 1u);
  EXPECT_EQ(c[0].fd, 1);
}

}  // namespace
