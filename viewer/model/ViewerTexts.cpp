#include "viewer/model/ViewerTexts.h"

#include <QStringList>

#include "ecu/EcuSession.h"

namespace gascal {

namespace {

// The entries after "[FrmView]", in this order; the English texts are the
// fallbacks.
QStringList Fallbacks() {
    const QStringList english{
        QStringLiteral("View"),
        QStringLiteral("Run"),
        QStringLiteral("Stop"),
        QStringLiteral("open"),
        QStringLiteral("reload"),
        QStringLiteral("save"),
        QStringLiteral("reset"),
        QStringLiteral("csv"),
        QStringLiteral("Setting"),
        QStringLiteral("Esc"),
        QStringLiteral("Cilinder && Coil "),
        QStringLiteral("CYLINDER"),
        QStringLiteral("COIL"),
        QStringLiteral("LOADING"),
        QStringLiteral("SAVING"),
        QStringLiteral("WAITING FOR THE ECU"),
        QStringLiteral("NO CHECK!"),
        QStringLiteral("DO YOU WANT SAVE LAST DATA?"),
        QStringLiteral("Up"),
        QStringLiteral("Down"),
        QStringLiteral("Zoom +"),
        QStringLiteral("Zoom -"),
        QStringLiteral("Inj"),
        QStringLiteral("s/div"),
        QStringLiteral("Click: second cursor. Right click: remove it. Wheel: zoom."),
        QStringLiteral("Diff"),
        QStringLiteral("The file is not a log, a recording or a table text file:"),
        QStringLiteral("The file could not be written:"),
    };
    // Texts kept after the channel names.
    const QStringList later = {
        QStringLiteral("The live log cannot be saved over; choose another name:"),
    };
    QStringList fallbacks = english;
    for (int c = 0; c < kViewChannels; ++c)
        fallbacks << QString::fromLatin1(ChannelDef(c).nameText);
    fallbacks << later;
    return fallbacks;
}

ViewerTexts FromList(const QStringList& t) {
    ViewerTexts v;
    int i = 0;
    for (QString* s :
         {&v.view,       &v.run,     &v.stop,          &v.open,      &v.reload,   &v.save,
          &v.reset,      &v.csv,     &v.setting,       &v.esc,       &v.cylCoil,  &v.cylinder,
          &v.coil,       &v.loading, &v.saving,        &v.linkWait,  &v.noCheck,  &v.saveLastData,
          &v.up,         &v.down,    &v.zoomIn,        &v.zoomOut,   &v.injector, &v.secDiv,
          &v.cursorHint, &v.delta,   &v.notRecognised, &v.notWritten})
        *s = t[i++];
    for (int c = 0; c < kViewChannels; ++c) v.names[static_cast<size_t>(c)] = t[i++];
    v.liveLogTarget = t[i++];
    return v;
}

}  // namespace

ViewerTexts EnglishViewerTexts() {
    return FromList(Fallbacks());
}

ViewerTexts LoadViewerTexts(const EcuSession& session) {
    return FromList(session.SectionTexts(QStringLiteral("[FrmView]"), Fallbacks()));
}

}  // namespace gascal
