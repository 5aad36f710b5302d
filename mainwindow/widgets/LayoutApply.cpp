#include "mainwindow/widgets/LayoutApply.h"

#include <QLabel>
#include <QLineEdit>
#include <QVariant>
#include <QWidget>

#include "common/widgets/QtPrompts.h"
#include "mainwindow/controller/ControlLayout.h"

namespace gascal {

namespace {

constexpr const char* kArrayName = "gascalControlArray";
constexpr const char* kArrayIndex = "gascalControlIndex";
constexpr long long kLargestColour = 0xFFFFFF;
constexpr long long kLargestTwips = 1000000;

// A colour number: red + green * 256 + blue * 65536.
std::optional<QColor> ColourOf(const QString& text) {
    const auto v = LayoutNumber(text);
    if (!v || *v < 0 || *v > kLargestColour) return std::nullopt;
    return QColor(static_cast<int>(*v & 0xFF), static_cast<int>((*v >> 8) & 0xFF),
                  static_cast<int>((*v >> 16) & 0xFF));
}

std::optional<int> PixelsOf(const QString& text, bool size) {
    const auto v = LayoutNumber(text);
    if (!v || *v > kLargestTwips || *v < (size ? 0 : -kLargestTwips)) return std::nullopt;
    return TwipsToPixels(static_cast<int>(*v));
}

bool SetAlignment(QWidget* w, const QString& text) {
    const auto v = LayoutNumber(text);
    if (!v || *v < 0 || *v > 2) return false;
    static constexpr Qt::Alignment kAlign[] = {Qt::AlignLeft, Qt::AlignRight, Qt::AlignHCenter};
    const Qt::Alignment a = kAlign[*v] | Qt::AlignVCenter;
    if (auto* l = qobject_cast<QLabel*>(w)) {
        l->setAlignment(a);
        return true;
    }
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        e->setAlignment(a);
        return true;
    }
    return false;
}

}  // namespace

void SetControlArray(QWidget* w, const char* name, int index) {
    w->setObjectName(QString::fromLatin1(name) + QString::number(index));
    w->setProperty(kArrayName, QString::fromLatin1(name));
    w->setProperty(kArrayIndex, index);
}

QWidget* FindControl(QWidget* page, const QString& name, std::optional<int> index) {
    if (!page) return nullptr;
    for (QWidget* w : page->findChildren<QWidget*>()) {
        if (w->isWindow()) continue;
        const QVariant array = w->property(kArrayName);
        if (index) {
            if (array.isValid() && array.toString().compare(name, Qt::CaseInsensitive) == 0 &&
                w->property(kArrayIndex).toInt() == *index)
                return w;
        } else if (!array.isValid() && w->objectName().compare(name, Qt::CaseInsensitive) == 0) {
            return w;
        }
    }
    return nullptr;
}

bool ApplyLayoutValue(QWidget* w, const LayoutValue& value) {
    if (!w) return false;
    switch (value.key) {
        case LayoutKey::Visible: {
            const auto on = LayoutTruth(value.text);
            if (!on) return false;
            w->setVisible(*on);
            return true;
        }
        case LayoutKey::Width:
        case LayoutKey::Height: {
            const auto px = PixelsOf(value.text, true);
            if (!px) return false;
            QRect g = w->geometry();
            if (value.key == LayoutKey::Width)
                g.setWidth(*px);
            else
                g.setHeight(*px);
            w->setGeometry(g);
            return true;
        }
        case LayoutKey::Top:
        case LayoutKey::Left: {
            const auto px = PixelsOf(value.text, false);
            if (!px) return false;
            QPoint p = w->pos();
            if (value.key == LayoutKey::Top)
                p.setY(*px);
            else
                p.setX(*px);
            w->move(p);
            return true;
        }
        case LayoutKey::Alignment:
            return SetAlignment(w, value.text);
        case LayoutKey::BackColor:
        case LayoutKey::ForeColor: {
            const auto c = ColourOf(value.text);
            if (!c) return false;
            static constexpr QPalette::ColorRole kBack[] = {QPalette::Window, QPalette::Base,
                                                            QPalette::Button};
            static constexpr QPalette::ColorRole kFore[] = {QPalette::WindowText, QPalette::Text,
                                                            QPalette::ButtonText};
            QPalette p = w->palette();
            const bool back = value.key == LayoutKey::BackColor;
            for (QPalette::ColorRole role : back ? kBack : kFore) p.setColor(role, *c);
            w->setPalette(p);
            if (back) w->setAutoFillBackground(true);
            return true;
        }
    }
    return false;
}

bool ApplyControlLayout(QWidget* page, const QString& path, const QString& startLine,
                        const QString& endLine) {
    std::vector<LayoutRecord> records;
    const bool found = ReadLayoutFile(
        path, startLine, endLine,
        [page](const QString& name, std::optional<int> index) {
            return FindControl(page, name, index) != nullptr;
        },
        records);
    for (const LayoutRecord& r : records) {
        QWidget* w = FindControl(page, r.name, r.index);
        // A value the control cannot take is passed over; the rest apply.
        for (const LayoutValue& v : r.values) ApplyLayoutValue(w, v);
    }
    return found;
}

}  // namespace gascal
