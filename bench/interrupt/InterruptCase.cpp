#include "InterruptCase.h"

#include <QRegularExpression>
#include <algorithm>

namespace gascal::interrupt {

namespace {

constexpr const char* kNames[] = {"esc",        "key-off",    "engine-stop", "cable-1s",
                                  "cable-15s",  "cable-gone", "ecu-reset",   "answer-lost",
                                  "status-254", "status-255", "corrupt"};
static_assert(std::size(kNames) == static_cast<size_t>(Interruption::Count));

QChar KindLetter(PointKind k) {
    switch (k) {
        case PointKind::Request:
            return QLatin1Char('r');
        case PointKind::Answer:
            return QLatin1Char('a');
        case PointKind::Step:
            return QLatin1Char('s');
    }
    return QLatin1Char('?');
}

// Every stride-th of 1..n, with the first and the last.
std::vector<int> Sampled(int n, int stride) {
    std::vector<int> out;
    stride = std::max(1, stride);
    for (int i = 1; i <= n; i += stride) out.push_back(i);
    if (n > 0 && out.back() != n) out.push_back(n);
    return out;
}

}  // namespace

bool IsAnswerFault(Interruption i) {
    return i == Interruption::AnswerLost || i == Interruption::Status254 ||
           i == Interruption::Status255 || i == Interruption::Corrupt;
}

const char* Name(Interruption i) {
    return kNames[static_cast<int>(i)];
}

std::vector<Interruption> AllInterruptions() {
    std::vector<Interruption> out;
    for (int i = 0; i < static_cast<int>(Interruption::Count); ++i)
        out.push_back(static_cast<Interruption>(i));
    return out;
}

QString CaseId::Text() const {
    return QStringLiteral("%1/%2%3/%4")
        .arg(workflow)
        .arg(KindLetter(kind))
        .arg(index)
        .arg(QLatin1String(Name(what)));
}

std::optional<CaseId> CaseId::Parse(const QString& text) {
    static const QRegularExpression re(
        QStringLiteral("^([a-z0-9-]+)/([ras])([0-9]+)/([a-z0-9-]+)$"));
    const QRegularExpressionMatch m = re.match(text.trimmed());
    if (!m.hasMatch()) return std::nullopt;
    CaseId id;
    id.workflow = m.captured(1);
    const QChar k = m.captured(2).at(0);
    id.kind = k == QLatin1Char('r')   ? PointKind::Request
              : k == QLatin1Char('a') ? PointKind::Answer
                                      : PointKind::Step;
    bool ok = false;
    id.index = m.captured(3).toInt(&ok);
    if (!ok || id.index < 1) return std::nullopt;
    for (Interruption i : AllInterruptions()) {
        if (m.captured(4) == QLatin1String(Name(i))) {
            id.what = i;
            // An answer fault belongs to an exchange's answer, taken at its request.
            if (IsAnswerFault(i) && id.kind != PointKind::Request) return std::nullopt;
            return id;
        }
    }
    return std::nullopt;
}

std::vector<CaseId> EnumerateCases(const QString& workflow, const RunShape& shape, int stride) {
    std::vector<CaseId> out;
    for (int n : Sampled(shape.exchanges, stride)) {
        for (Interruption i : AllInterruptions()) {
            out.push_back({workflow, PointKind::Request, n, i});
            if (!IsAnswerFault(i)) out.push_back({workflow, PointKind::Answer, n, i});
        }
    }
    for (int n : Sampled(shape.steps, stride)) {
        for (Interruption i : AllInterruptions())
            if (!IsAnswerFault(i)) out.push_back({workflow, PointKind::Step, n, i});
    }
    return out;
}

}  // namespace gascal::interrupt
