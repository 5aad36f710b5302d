#include "mainwindow/widgets/TabRegistry.h"

#include <map>

namespace gascal {

namespace {
std::map<int, PageFactory>& Factories() {
    static std::map<int, PageFactory> factories;
    return factories;
}
}  // namespace

void TabRegistry::Register(int tab, PageFactory factory) {
    Factories()[tab] = std::move(factory);
}

const PageFactory* TabRegistry::Find(int tab) {
    const auto it = Factories().find(tab);
    return it == Factories().end() ? nullptr : &it->second;
}

}  // namespace gascal
