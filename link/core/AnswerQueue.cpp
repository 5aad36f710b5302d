#include "link/core/AnswerQueue.h"

namespace gascal {

void AnswerQueue::Push(const QByteArray& text) {
    for (int i = 0; i < PUSH_SLOTS; ++i) {
        if (slots_[static_cast<size_t>(i)].isEmpty()) {
            slots_[static_cast<size_t>(i)] = text;
            return;
        }
    }
}

QByteArray AnswerQueue::Pop() {
    QByteArray first = slots_[0];
    for (int i = 0; i + 1 < SLOTS; ++i)
        slots_[static_cast<size_t>(i)] = slots_[static_cast<size_t>(i + 1)];
    slots_[SLOTS - 1].clear();
    return first;
}

void AnswerQueue::Clear() {
    for (auto& s : slots_) s.clear();
}

int AnswerQueue::Count() const {
    int n = 0;
    for (const auto& s : slots_)
        if (!s.isEmpty()) ++n;
    return n;
}

}  // namespace gascal
