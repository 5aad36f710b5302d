#include "ecu/WindowRegistry.h"

#include <map>

namespace gascal {

namespace {
std::map<QString, WindowOpener>& Openers() {
    static std::map<QString, WindowOpener> openers;
    return openers;
}
}  // namespace

void WindowRegistry::Register(const QString& name, WindowOpener open) {
    Openers()[name] = std::move(open);
}

const WindowOpener* WindowRegistry::Find(const QString& name) {
    const auto it = Openers().find(name);
    return it == Openers().end() ? nullptr : &it->second;
}

QStringList WindowRegistry::Names() {
    QStringList names;
    for (const auto& entry : Openers()) names << entry.first;
    return names;
}

}  // namespace gascal
