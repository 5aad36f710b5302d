#include "common/widgets/QtPrompts.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>

namespace gascal {

BoxResult QtPrompts::MessageBox(const QString& textIn, const QString& title, BoxIcon icon,
                                BoxButtons buttons) {
    QString text = textIn;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QMessageBox box(parent_);
    box.setWindowTitle(title.isEmpty() ? QApplication::applicationName() : title);
    box.setText(text);
    switch (icon) {
        case BoxIcon::None:
            box.setIcon(QMessageBox::NoIcon);
            break;
        case BoxIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case BoxIcon::Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case BoxIcon::Critical:
            box.setIcon(QMessageBox::Critical);
            break;
        case BoxIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
    }
    switch (buttons) {
        case BoxButtons::Ok:
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case BoxButtons::OkCancel:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            break;
        case BoxButtons::YesNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            break;
        case BoxButtons::YesNoCancel:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            break;
        case BoxButtons::RetryCancel:
            box.setStandardButtons(QMessageBox::Retry | QMessageBox::Cancel);
            break;
    }
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    const int r = box.exec();
    QApplication::restoreOverrideCursor();
    switch (r) {
        case QMessageBox::Ok:
            return BoxResult::Ok;
        case QMessageBox::Yes:
            return BoxResult::Yes;
        case QMessageBox::No:
            return BoxResult::No;
        case QMessageBox::Retry:
            return BoxResult::Retry;
        default:
            return BoxResult::Cancel;
    }
}

// The system's filters pair a description with its patterns, separated by
// bars ("View Files  (*.vfl)|*.vfl|Text Files  (*.txt)|*.txt"); the Qt
// dialog takes "description (patterns)" entries separated by ";;".
QString QtFileFilter(const QString& filter) {
    if (!filter.contains(QLatin1Char('|'))) return filter;
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString desc = parts[i].trimmed();
        const QString patterns =
            QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')).trimmed();
        if (desc.isEmpty() && patterns.isEmpty()) continue;
        out << (desc.contains(QLatin1Char('('))
                    ? desc
                    : desc + QStringLiteral(" (") + patterns + QLatin1Char(')'));
    }
    return out.join(QStringLiteral(";;"));
}

QString FilterSuffix(const QString& filter) {
    // The first pattern of the form "*.ext" in the filter's patterns.
    static const QRegularExpression pattern(QStringLiteral("\\*\\.([A-Za-z0-9_]+)"));
    const QRegularExpressionMatch m = pattern.match(filter);
    return m.hasMatch() ? m.captured(1) : QString();
}

QString QtPrompts::OpenFile(const FileDialogRequest& req) {
    return QFileDialog::getOpenFileName(parent_, req.title, req.startFolder,
                                        QtFileFilter(req.filter));
}

QString QtPrompts::SaveFile(const FileDialogRequest& req) {
    QString start = req.startFolder;
    if (!req.defaultName.isEmpty()) start += QLatin1Char('/') + req.defaultName;
    QFileDialog dialog(parent_, req.title, start, QtFileFilter(req.filter));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (!req.overwritePrompt) dialog.setOption(QFileDialog::DontConfirmOverwrite);
    // A name typed without an extension gets the filter's, before the
    // dialog asks about overwriting ("gui1" is saved as "gui1.var").
    dialog.setDefaultSuffix(FilterSuffix(req.filter));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().constFirst();
}

WindowPrompts::WindowPrompts(QWidget* window)
    : window_(window), base_(&UserPrompts()), own_(window) {}

Prompts& WindowPrompts::Target() {
    if (dynamic_cast<QtPrompts*>(base_)) return own_;
    return *base_;
}

BoxResult WindowPrompts::MessageBox(const QString& text, const QString& title, BoxIcon icon,
                                    BoxButtons buttons) {
    return Target().MessageBox(text, title, icon, buttons);
}

QString WindowPrompts::OpenFile(const FileDialogRequest& req) {
    return Target().OpenFile(req);
}

QString WindowPrompts::SaveFile(const FileDialogRequest& req) {
    return Target().SaveFile(req);
}

void CentreWindow(QWidget* window) {
    if (!window) return;
    QScreen* screen = window->screen() ? window->screen() : QApplication::primaryScreen();
    if (!screen) return;
    const QRect s = screen->availableGeometry();
    const int left = s.left() + (s.width() - window->width()) / 2;
    const int top = s.top() + (s.height() - window->height()) / 2 - TwipsToPixels(450);
    window->move(std::max(s.left(), left), std::max(s.top(), top));
}

void ShowAllControls(QWidget* window) {
    if (!window) return;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (w->isWindow()) continue;  // dialogs and menus owned by the window stay as they are
        w->setVisible(true);
    }
}

}  // namespace gascal
