// The signal viewer's readers: a communication log (with its constants),
// a bar-separated table text file, the viewer's settings file and the
// log cleaner, chosen by the first byte.
#include "FuzzSupport.h"
#include "viewer/model/RecordingFiles.h"
#include "viewer/model/ViewerSettings.h"

using namespace gascal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    const fuzz::Selected in = fuzz::Select(data, size, 4);
    const QString path = fuzz::WriteInput(QStringLiteral("view.txt"), in.data, in.size);
    switch (in.choice) {
        case 0: {
            RecogniseViewFile(path);
            const ViewScales scales = ReadLogConstants(path, ViewScales());
            const SampleRead read = ReadLog(path, 0, scales, LogWindow());
            for (const ViewSample& s : read.samples)
                for (int ch = 0; ch < 8; ++ch) ReadoutText(ReadoutValue(s, ch, 0), ch);
            break;
        }
        case 1: {
            RecogniseViewFile(path);
            const SampleRead read = ReadTableFile(path, (in.size % 2) == 0);
            for (const ViewSample& s : read.samples)
                for (int ch = 0; ch < 8; ++ch) ReadoutText(ReadoutValue(s, ch, 1), ch);
            break;
        }
        case 2: {
            ChannelSettings settings = DefaultChannelSettings();
            LoadViewerSettings(path, settings);
            break;
        }
        default:
            CleanRecording(path);
            break;
    }
    return 0;
}
