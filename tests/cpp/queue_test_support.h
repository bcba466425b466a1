// Helpers for the queue tests: a sink that keeps received records as strings,
// and a put of one string.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "veskline_core/shm/queue_ops.h"

namespace vesk::test {

class Strings final : public RecordSink {
 public:
  std::byte* reserve(uint32_t length) override {
    items.emplace_back(length, '\0');
    return reinterpret_cast<std::byte*>(items.back().data());
  }
  void discard() override { items.clear(); }
  std::vector<std::string> items;
};

inline Result<void, QueueError> put(const QueueRef& q, std::string_view text, bool task = false,
                                    Deadline deadline = Deadline::never()) {
  Part part{text.data(), text.size()};
  return queue_put(q, &part, 1, Mode{task, false}, deadline, never_stop());
}

}  // namespace vesk::test
