// Whether the ECU holds configuration changes that are not stored in its
// flash. The ECU works from its working memory; only CMD_SAVE_FLASH makes
// it keep what it was sent over its next reset, and the tool stores only
// after a configuration load. Edits of the settings pages, of the line
// model and of gascal-cli are therefore lost at the ECU's next reset unless
// they are stored: this tracker follows every answered exchange so the
// window and gascal-cli can say so.
//
// It compares, part by part (block 2's settings, block 3, block 5, the four
// chunks of the correction table), what the ECU holds in its working memory
// with what it holds in flash:
//   - a part read while it has no change of ours is taken as stored (what
//     the tool finds in an ECU counts as the ECU's own);
//   - an acknowledged write makes the part changed when it differs from the
//     stored contents;
//   - a read of a changed part that gives the stored contents again (an ECU
//     reset lost the change, or the change was undone) ends the change;
//   - an acknowledged CMD_SAVE_FLASH stores every part.
// Bytes that are not configuration are left out: the fuel and mode bytes
// of block 2, its hour counters (the ECU's own count) and cut-off flag; the
// injector check states of block 3 count as "fitted".
#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace gascal {

class StoreTracker {
  public:
    // Every valid answer: its command, the request it answers (a whole
    // frame) and the answer's data as hexadecimal text.
    void OnAnswer(uint8_t command, const QByteArray& request, const QString& dataHex);

    // Some part holds a change that is not stored.
    bool Unstored() const;
    // Told whenever Unstored() changes.
    void OnChanged(std::function<void(bool unstored)> f) { listeners_.push_back(std::move(f)); }

  private:
    enum PartIndex : size_t { kBlock2 = 0, kBlock3 = 1, kBlock5 = 2, kTable0 = 3, kParts = 7 };
    struct Part {
        QByteArray stored, current;
        bool known = false, changed = false;
    };
    void Read(size_t part, const QByteArray& bytes);
    void Written(size_t part, const QByteArray& bytes);
    void Notify(bool before);

    std::array<Part, kParts> parts_{};
    std::vector<std::function<void(bool)>> listeners_;
};

}  // namespace gascal
