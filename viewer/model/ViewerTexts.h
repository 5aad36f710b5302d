// The signal viewer's texts: the entries of the dictionary section
// "[FrmView]", with the English texts as fallbacks.
#pragma once

#include <QString>
#include <array>

#include "viewer/model/ViewSample.h"

namespace gascal {

class EcuSession;

struct ViewerTexts {
    QString view;  // caption of the window's title, box titles and the main window's button
    QString run, stop, open, reload, save, reset, csv;
    QString setting, esc, cylCoil, cylinder, coil;
    QString loading, saving, linkWait;
    QString noCheck, saveLastData;
    QString up, down, zoomIn, zoomOut, injector, secDiv;
    QString cursorHint, delta;
    QString notRecognised, notWritten, liveLogTarget;
    std::array<QString, kViewChannels> names;  // channel name and unit
};

// The English texts, as a viewer without a dictionary shows them.
ViewerTexts EnglishViewerTexts();
ViewerTexts LoadViewerTexts(const EcuSession& session);

}  // namespace gascal
