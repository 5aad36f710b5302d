// A viewer opened with the link stopped (stop mode, files only) in a
// private installation folder on the virtual clock.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/Prompts.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "tests/mainwindow/SimFixture.h"
#include "tests/viewer/LogLines.h"
#include "viewer/commlog/CommLogWriter.h"
#include "viewer/model/ViewerModel.h"

namespace gascal::testing {

// A viewer opened while the link is stopped: stop mode, run and stop
// disabled, the live log started in the installation's BIN folder.
struct OfflineViewer {
    OfflineViewer() : scopeEvents(ev), scopePrompts(prompts) {
        root = dir.path();
        CopyTree(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN"), root + "/BIN");
        CopyTree(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG"), root + "/LNG");
        session = std::make_unique<EcuSession>(root, nullptr);
        cycle = std::make_unique<PollingCycle>(*session);
        log = std::make_unique<CommLogWriter>(root + "/BIN/RxTx.TXT", root + "/BIN/RxTx_Last.TXT");
        log->Install();
        log->StartLogRxTx(session->ProductTitle());
        session->Comm().Stop();
        model = std::make_unique<ViewerModel>(*session, *cycle);
        model->Form_Load();
    }
    ~OfflineViewer() {
        model.reset();
        log->Stop();
        SetCommLog(nullptr);
    }
    QString File(const QString& name) const { return root + "/" + name; }
    // Opens a file as the open button does.
    ViewFileKind Open(const QString& path) {
        prompts.files.push_back(path);
        model->CmdOpen_Click();
        return RecogniseViewFile(path);
    }

    QTemporaryDir dir;
    QString root;
    VirtualEventService ev;
    ScopedEvents scopeEvents;
    ScriptedPrompts prompts;
    ScopedPrompts scopePrompts;
    std::unique_ptr<EcuSession> session;
    std::unique_ptr<PollingCycle> cycle;
    std::unique_ptr<CommLogWriter> log;
    std::unique_ptr<ViewerModel> model;
};

}  // namespace gascal::testing
