// gascal-cli: the ECU link and data layers from the command line.
#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

#include "app/gascal-cli/Cli.h"
#include "common/Prompts.h"

namespace {
// Questions on the console: the text on standard error, the answer typed
// on standard input ("y" or "yes"; anything else, or no input, is No).
class AskingPrompts : public gascal::ConsolePrompts {
  public:
    gascal::BoxResult MessageBox(const QString& text, const QString& title, gascal::BoxIcon icon,
                                 gascal::BoxButtons buttons) override {
        if (buttons != gascal::BoxButtons::YesNo)
            return ConsolePrompts::MessageBox(text, title, icon, buttons);
        std::fprintf(stderr, "%s [y/N] ", qPrintable(text));
        std::fflush(stderr);
        char line[64] = {};
        if (!std::fgets(line, sizeof line, stdin)) return gascal::BoxResult::No;
        const QString a = QString::fromLocal8Bit(line).trimmed().toLower();
        return a == QLatin1String("y") || a == QLatin1String("yes") ? gascal::BoxResult::Yes
                                                                    : gascal::BoxResult::No;
    }
};
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("gascal-cli"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    AskingPrompts prompts;
    gascal::ScopedPrompts scoped(prompts);
    return gascal::RunCli(args, out, err);
}
