#include "common/Prompts.h"

#include <gtest/gtest.h>

using namespace gascal;

TEST(Prompts, ScriptedAnswersInOrderThenDefaults) {
    ScriptedPrompts p;
    ScopedPrompts scope(p);
    p.answers = {BoxResult::Yes};
    EXPECT_TRUE(UserPrompts().AskYesNo("Upgrade?"));
    EXPECT_FALSE(UserPrompts().AskYesNo("Again?"));  // script exhausted: No
    p.files = {"/tmp/a.var"};
    EXPECT_EQ(UserPrompts().OpenFile({"Open", "*.var", "/tmp", "", true}), "/tmp/a.var");
    EXPECT_EQ(UserPrompts().SaveFile({"Save", "*.var", "/tmp", "x.var", true}), "");
    EXPECT_EQ(p.dialogs.size(), 2u);
    EXPECT_EQ(p.dialogs[1].defaultName, "x.var");
    EXPECT_EQ(p.Texts(), (QStringList{"Upgrade?", "Again?"}));
    EXPECT_TRUE(p.AnyContains("Again"));
}

TEST(Prompts, ScopeRestoresPreviousPrompts) {
    ScriptedPrompts outer, inner;
    ScopedPrompts a(outer);
    {
        ScopedPrompts b(inner);
        UserPrompts().Message("inner");
    }
    UserPrompts().Message("outer");
    EXPECT_EQ(inner.Texts(), QStringList{"inner"});
    EXPECT_EQ(outer.Texts(), QStringList{"outer"});
}
