#include "common/Prompts.h"

#include <cstdio>

namespace gascal {

namespace {
Prompts* g_prompts = nullptr;

BoxResult DefaultAnswer(BoxButtons b) {
    switch (b) {
        case BoxButtons::Ok:
            return BoxResult::Ok;
        case BoxButtons::OkCancel:
            return BoxResult::Cancel;
        case BoxButtons::YesNo:
            return BoxResult::No;
        case BoxButtons::YesNoCancel:
            return BoxResult::Cancel;
        case BoxButtons::RetryCancel:
            return BoxResult::Cancel;
    }
    return BoxResult::Cancel;
}
}  // namespace

Prompts& UserPrompts() {
    static ConsolePrompts console;
    return g_prompts ? *g_prompts : console;
}

void SetPrompts(Prompts* prompts) {
    g_prompts = prompts;
}

ScopedPrompts::ScopedPrompts(Prompts& p) : previous_(g_prompts) {
    g_prompts = &p;
}
ScopedPrompts::~ScopedPrompts() {
    g_prompts = previous_;
}

BoxResult ConsolePrompts::MessageBox(const QString& text, const QString& title, BoxIcon,
                                     BoxButtons buttons) {
    QString t = text;
    t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    std::fprintf(stderr, "%s%s%s\n", qPrintable(title), title.isEmpty() ? "" : ": ", qPrintable(t));
    return DefaultAnswer(buttons);
}

BoxResult ScriptedPrompts::MessageBox(const QString& text, const QString& title, BoxIcon icon,
                                      BoxButtons buttons) {
    shown.push_back({text, title, icon, buttons});
    if (answers.empty()) return DefaultAnswer(buttons);
    BoxResult r = answers.front();
    answers.pop_front();
    return r;
}

QString ScriptedPrompts::OpenFile(const FileDialogRequest& req) {
    dialogs.push_back(req);
    if (files.empty()) return {};
    QString f = files.front();
    files.pop_front();
    return f;
}

QString ScriptedPrompts::SaveFile(const FileDialogRequest& req) {
    return OpenFile(req);
}

QStringList ScriptedPrompts::Texts() const {
    QStringList l;
    for (const auto& s : shown) l << s.text;
    return l;
}

bool ScriptedPrompts::AnyContains(const QString& part) const {
    for (const auto& s : shown)
        if (s.text.contains(part)) return true;
    return false;
}

}  // namespace gascal
