// Frames, checksum, command names, the answer queue and the identity text.
#include "link/core/Frame.h"

#include <gtest/gtest.h>

#include "link/core/AnswerQueue.h"
#include "link/core/CommandTable.h"
#include "link/core/FirmwareIdentity.h"

namespace gascal {
namespace {

TEST(Frame, BuilderLaysStartLengthCommandDataAndChecksum) {
    EXPECT_EQ(BuildRequest(0x15, QByteArray(1, '\0')), QByteArray::fromHex("410204150052"));
    // Command 9 with "ECO": 41 02 06 09 45 43 4F, then 41^02^06^09^45^43^4F = 05.
    EXPECT_EQ(BuildRequest(CMD_GET_ECO, "ECO"), QByteArray::fromHex("4102060945434F05"));
    EXPECT_EQ(BuildRequest(CMD_READ_MEM1), QByteArray::fromHex("4102030C4C"));
    EXPECT_EQ(Checksum(QByteArray()), 0);
    // The exclusive-or of any whole frame is 0.
    const QByteArray f = BuildFrame(0x42, 0x01, 12, QByteArray(200, '\x5A'));
    EXPECT_EQ(f.size(), 205);
    EXPECT_EQ(Checksum(f), 0);
    // Data longer than LEN can announce is cut, never wrapped.
    const QByteArray big = BuildRequest(1, QByteArray(300, '\x01'));
    EXPECT_EQ(static_cast<uint8_t>(big[2]), 255);
    EXPECT_EQ(big.size(), 257);
    EXPECT_EQ(Checksum(big), 0);
}

TEST(Frame, FixedFramesMatchTheBuilder) {
    EXPECT_EQ(FrameFromHex(FRAME_SET_ECU_SLAVE),
              BuildRequest(CMD_SET_ECU_SLAVE, QByteArray(1, '\0')));
    EXPECT_EQ(FrameFromHex(FRAME_SET_ECU_RUN), BuildRequest(CMD_SET_ECU_RUN, QByteArray(1, '\0')));
    EXPECT_EQ(FrameFromHex(FRAME_SAVE_FLASH), BuildRequest(CMD_SAVE_FLASH, QByteArray(1, '\0')));
}

TEST(Frame, AnswerDataAndCommandOfShortFrames) {
    const QByteArray a = BuildAnswer(CMD_READ_MEM3, 0, "\x01\x02\x03");
    EXPECT_EQ(AnswerData(a), QByteArray("\x01\x02\x03"));
    EXPECT_EQ(FrameCommand(a), CMD_READ_MEM3);
    EXPECT_TRUE(AnswerData(BuildAnswer(CMD_READ_MEM3, 0)).isEmpty());
    EXPECT_TRUE(AnswerData(QByteArray::fromHex("420100")).isEmpty());
    EXPECT_EQ(FrameCommand(QByteArray::fromHex("420100")), -1);
}

TEST(CommandTable, NamesOfKnownAndUnknownCodes) {
    EXPECT_EQ(CommandLogName(CMD_READ_MEM1), "CMD_READ_MEM1");
    EXPECT_EQ(CommandLogName(33), "CMD_READ_FIRMWARE");
    EXPECT_EQ(CommandLogName(44), "CMD_WRIT_DCOL");
    EXPECT_EQ(CommandLogName(51), "CMD_GEN");
    int known = 0;
    for (int c = 0; c < 256; ++c) {
        const bool inTable =
            (c >= 1 && c <= 33) || c == 44 || c == 48 || c == 49 || c == 50 || c == 51;
        EXPECT_EQ(IsKnownCommand(static_cast<uint8_t>(c)), inTable) << c;
        if (!inTable) {
            EXPECT_EQ(CommandLogName(static_cast<uint8_t>(c)), " XXXXXXXXXX ") << c;
        } else {
            ++known;
            EXPECT_TRUE(CommandLogName(static_cast<uint8_t>(c)).startsWith("CMD_")) << c;
        }
    }
    EXPECT_EQ(known, 38);
}

TEST(AnswerQueue, PushFillsFirstEmptyAmongTwentyPopShiftsUp) {
    AnswerQueue q;
    for (int i = 0; i < 25; ++i) q.Push(QByteArray::number(i));
    EXPECT_EQ(q.Count(), 20);  // slot 20 is never filled by a push
    EXPECT_TRUE(q.Slot(20).isEmpty());
    EXPECT_EQ(q.Pop(), "0");
    EXPECT_EQ(q.Pop(), "1");
    q.Push("new");
    EXPECT_EQ(q.Slot(18), "new");
    for (int i = 2; i < 20; ++i) EXPECT_EQ(q.Pop(), QByteArray::number(i));
    EXPECT_EQ(q.Pop(), "new");
    EXPECT_TRUE(q.Pop().isEmpty());
}

TEST(FirmwareIdentity, SplitPropertiesAndTheirShortTextFallbacks) {
    const QString id =
        QStringLiteral("014015032025") + QStringLiteral("KT540 GASCAL INJ468").leftJustified(32);
    EXPECT_EQ(IdentityVersStr(id), "01.00.40");
    EXPECT_EQ(IdentityVersNum(id, false), 140);
    EXPECT_EQ(IdentityVersNum(id, true), 140);
    EXPECT_EQ(IdentityDataStr(id), "25/03/15");
    EXPECT_EQ(IdentityDayNum(id), 15);
    EXPECT_EQ(IdentityMonthNum(id), 3);
    EXPECT_EQ(IdentityYearNum(id), 2025);
    EXPECT_EQ(IdentityDescWord(id, 0), "KT540");
    EXPECT_EQ(IdentityDescWord(id, 1), "GASCAL");
    EXPECT_EQ(IdentityDescWord(id, 2), "INJ468");

    EXPECT_EQ(IdentityVersStr("0105AA"), "01.00.05");
    EXPECT_EQ(IdentityVersStr("0105"), "00.00");
    EXPECT_EQ(IdentityVersNum("0105", false), 0);
    EXPECT_EQ(IdentityDataStr("0105150320"), "00000000");
    EXPECT_EQ(IdentityDataStr("010515032008"), "08/03/15");
    EXPECT_EQ(IdentityDayNum("010515"), 0);
    EXPECT_EQ(IdentityDayNum("0105150"), 15);
    EXPECT_EQ(IdentityMonthNum("01051503"), 0);
    EXPECT_EQ(IdentityMonthNum("010515030"), 3);
    EXPECT_EQ(IdentityYearNum("010515032008"), 0);  // 12 characters are too few
    EXPECT_EQ(IdentityYearNum("010515032008X"), 2008);
    EXPECT_EQ(IdentityDescWord("010515032008", 0), "");
    // Consecutive blanks give empty words.
    EXPECT_EQ(IdentityDescWord("010515032008KT540  GASCAL", 1), "");
    EXPECT_EQ(IdentityDescWord("010515032008KT540  GASCAL", 2), "GASCAL");
    EXPECT_EQ(IdentityDescWord("010515032008KT540", 2), "");
    // The file's version number counts only when all four are digits.
    EXPECT_EQ(IdentityVersNum("01A5150320081", true), 0);
    EXPECT_EQ(IdentityVersNum("01A5150320081", false), 1);
}

TEST(FirmwareIdentity, FromBytesHexThenCharacters) {
    QByteArray raw = QByteArray::fromHex("014015032025");
    raw.append(QByteArray("KT540 GASCAL INJ468").leftJustified(32, ' '));
    const QString id = IdentityFromBytes(raw);
    EXPECT_EQ(id.size(), 44);
    EXPECT_TRUE(id.startsWith("014015032025KT540 GASCAL INJ468 "));
    EXPECT_EQ(IdentityFromBytes(QByteArray::fromHex("0140")), "0140");
}

}  // namespace
}  // namespace gascal
