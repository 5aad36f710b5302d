// Everything the logic asks of the user goes through this interface: message
// boxes, Yes/No questions and file dialogs. The window answers with real Qt
// dialogs, the command line on the console, tests with scripted answers; no
// logic unit ever includes a widget header.
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <optional>
#include <vector>

namespace gascal {

enum class BoxIcon { None, Information, Warning, Critical, Question };
enum class BoxButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class BoxResult { Ok, Cancel, Yes, No, Retry };

struct FileDialogRequest {
    QString title;
    QString filter;  // e.g. "Parameter files (*.var)"
    QString startFolder;
    QString defaultName;
    bool overwritePrompt = true;  // save dialogs: ask before replacing a file
};

class Prompts {
  public:
    virtual ~Prompts() = default;
    virtual BoxResult MessageBox(const QString& text, const QString& title, BoxIcon icon,
                                 BoxButtons buttons) = 0;
    // Returns the chosen path, or an empty text when the user cancelled.
    virtual QString OpenFile(const FileDialogRequest& req) = 0;
    virtual QString SaveFile(const FileDialogRequest& req) = 0;

    // Convenience forms.
    void Message(const QString& text, const QString& title = QString(),
                 BoxIcon icon = BoxIcon::Information) {
        MessageBox(text, title, icon, BoxButtons::Ok);
    }
    bool AskYesNo(const QString& text, const QString& title = QString()) {
        return MessageBox(text, title, BoxIcon::Question, BoxButtons::YesNo) == BoxResult::Yes;
    }
};

// The process-wide prompts. Without an installed implementation, boxes are
// written to standard error and answered with their default (Ok / No /
// Cancel), and file dialogs are cancelled.
Prompts& UserPrompts();
void SetPrompts(Prompts* prompts);

class ConsolePrompts : public Prompts {
  public:
    BoxResult MessageBox(const QString& text, const QString& title, BoxIcon icon,
                         BoxButtons buttons) override;
    QString OpenFile(const FileDialogRequest&) override { return {}; }
    QString SaveFile(const FileDialogRequest&) override { return {}; }
};

// Test prompts: records every box and dialog and answers from a script.
class ScriptedPrompts : public Prompts {
  public:
    struct Shown {
        QString text, title;
        BoxIcon icon;
        BoxButtons buttons;
    };
    std::vector<Shown> shown;
    std::vector<FileDialogRequest> dialogs;
    std::deque<BoxResult> answers;  // box answers in order; default Ok/No/Cancel
    std::deque<QString> files;      // dialog answers in order; default cancelled

    BoxResult MessageBox(const QString& text, const QString& title, BoxIcon icon,
                         BoxButtons buttons) override;
    QString OpenFile(const FileDialogRequest& req) override;
    QString SaveFile(const FileDialogRequest& req) override;

    // Texts of the boxes shown so far.
    QStringList Texts() const;
    bool AnyContains(const QString& part) const;
};

class ScopedPrompts {
  public:
    explicit ScopedPrompts(Prompts& p);
    ~ScopedPrompts();

  private:
    Prompts* previous_;
};

}  // namespace gascal
