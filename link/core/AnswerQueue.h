// The answer queue: 21 text slots that carry memory-zone, table and EOBD
// answers from the link to the requester that waits for them. A push fills
// the first empty slot among 0..19 (the text is dropped when none is empty);
// a pop takes slot 0 and moves the others up one place.
#pragma once

#include <QByteArray>
#include <array>

namespace gascal {

class AnswerQueue {
  public:
    static constexpr int SLOTS = 21;
    static constexpr int PUSH_SLOTS = 20;

    void Push(const QByteArray& text);
    QByteArray Pop();
    void Clear();
    const QByteArray& Slot(int i) const { return slots_[static_cast<size_t>(i)]; }
    int Count() const;

  private:
    std::array<QByteArray, SLOTS> slots_;
};

}  // namespace gascal
