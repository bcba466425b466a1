// The view area: a ring's records seen through a second mapping, whole
// across the wrap-around, and once frozen as they were, whatever producers
// write into the ring afterwards.
#include "veskline_core/shm/view_area.h"

#include <cstring>
#include <string>

#include "queue_test_support.h"
#include "test_support.h"
#include "veskline_core/shm/queue_ops.h"

namespace vesk {
namespace {

using test::put;
using test::Strings;
using test::TestRing;

bool put_and_get(const QueueRef& q, const std::string& text) {
  Strings sink;
  if (!put(q, text).ok()) return false;
  auto got = queue_get(q, GetLimits{1}, sink, Mode{}, Deadline::never(), never_stop());
  if (!got) return false;
  if (got->claimed) return queue_finish(q, got->claim, false).ok();
  return sink.items.size() == 1 && sink.items[0] == text;
}

TEST(ViewArea, ShowsRecordsWholeAcrossTheWrapAndFrozenOnesAsTheyWere) {
  TestRing ring(1 << 14);
  const QueueRef q = queue_ref(ring.handle());
  ASSERT_TRUE(queue_open(q, 0).ok());
  auto mapped = ViewArea::map(q.ring.data, q.ring.data_size);
  ASSERT_TRUE(mapped.ok()) << mapped.error();
  const std::shared_ptr<ViewArea> area = std::move(mapped).value();

  // The next record starts 4 KiB before the end of the data and wraps.
  ASSERT_TRUE(put_and_get(q, std::string(12'284, 'x')));
  std::string text(9000, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  ASSERT_TRUE(put(q, text).ok());
  Strings sink;
  auto got =
      queue_get(q, GetLimits{1, UINT64_MAX, 0}, sink, Mode{}, Deadline::never(), never_stop());
  ASSERT_TRUE(got.ok() && got->claimed);
  ASSERT_GT(got->claim.data + 4 + text.size(), q.ring.data + q.ring.data_size);
  const std::byte* seen = area->at(got->claim.data + 4);
  EXPECT_EQ(std::memcmp(seen, text.data(), text.size()), 0);

  ASSERT_FALSE(area->retired());
  ASSERT_TRUE(area->freeze(seen, text.size()).ok());
  EXPECT_TRUE(area->retired());
  ASSERT_TRUE(queue_finish(q, got->claim, false).ok());
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(put_and_get(q, std::string(12'000, 'o')));
  EXPECT_EQ(std::memcmp(seen, text.data(), text.size()), 0);
}

}  // namespace
}  // namespace vesk
