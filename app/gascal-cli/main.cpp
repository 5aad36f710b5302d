// gascal-cli: the ECU link and data layers from the command line.
#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

#include "app/gascal-cli/Cli.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("gascal-cli"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    return gascal::RunCli(args, out, err);
}
