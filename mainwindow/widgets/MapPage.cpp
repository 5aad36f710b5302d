#include "mainwindow/widgets/MapPage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "ecu/PollingCycle.h"
#include "mainwindow/controller/MainController.h"
#include "mainwindow/controller/MainSession.h"
#include "mainwindow/controller/MapModel.h"
#include "mainwindow/widgets/PlotArea.h"
#include "mainwindow/widgets/TabRegistry.h"

namespace gascal {

namespace {
const TabRegistration kMapTab(TAB_MAP, [](PageContext& c, QWidget* parent) {
    return new MapPage(c, parent);
});

enum Layer { kPetrol = 0, kGas = 1 };
const QColor kPetrolColour(20, 150, 60);
const QColor kGasColour(20, 90, 200);

// A legend line: the marker's glyph in its colour, then the text.
QString LegendText(const QString& glyph, const QColor& c, const QString& text) {
    return QStringLiteral("<span style=\"color:%1; font-weight:bold\">%2</span>&nbsp;%3")
        .arg(c.name(), glyph, text.toHtmlEscaped());
}
}  // namespace

MapPage::MapPage(PageContext& context, QWidget* parent)
    : QWidget(parent),
      ctl_(context.session.Controller()),
      model_(std::make_unique<MapModel>(context.session.Ecu(), context.session.Cycle())) {
    setObjectName(QStringLiteral("PageMap"));
    auto* h = new QHBoxLayout(this);
    graph_ = new PlotArea(this);
    graph_->setObjectName(QStringLiteral("ShpMapGraph"));
    h->addWidget(graph_, 1);

    auto* side = new QVBoxLayout;
    h->addLayout(side);
    const auto button = [this, side](const char* name) {
        auto* b = new QPushButton(this);
        b->setObjectName(QString::fromLatin1(name));
        side->addWidget(b);
        return b;
    };
    cmdRead_ = button("CmdMapRead");
    cmdClrPet_ = button("CmdMapClrPet");
    cmdClrGas_ = button("CmdMapClrGas");
    side->addSpacing(8);
    cmdCompute_ = button("CmdMapCompute");
    lblMatches_ = new QLabel(this);
    lblMatches_->setObjectName(QStringLiteral("LblMapMatches"));
    side->addWidget(lblMatches_);
    side->addSpacing(8);
    cmdOpen_ = button("CmdMapOpen");
    cmdSave_ = button("CmdMapSave");
    side->addSpacing(8);
    lblPetrol_ = new QLabel(this);
    lblGas_ = new QLabel(this);
    side->addWidget(lblPetrol_);
    side->addWidget(lblGas_);
    side->addStretch(1);

    MapModel& m = *model_;
    connect(cmdRead_, &QPushButton::clicked, this, [&m] { m.CmdMapRead_Click(); });
    connect(cmdClrPet_, &QPushButton::clicked, this, [&m] { m.CmdMapClrPet_Click(); });
    connect(cmdClrGas_, &QPushButton::clicked, this, [&m] { m.CmdMapClrGas_Click(); });
    connect(cmdCompute_, &QPushButton::clicked, this, [&m] { m.CmdMapCompute_Click(); });
    connect(cmdOpen_, &QPushButton::clicked, this, [&m] { m.CmdMapOpen_Click(); });
    connect(cmdSave_, &QPushButton::clicked, this, [&m] { m.CmdMapSave_Click(); });
    connect(&m, &MapModel::mapChanged, this, &MapPage::ShowMap);
    connect(&m, &MapModel::computeChanged, this, &MapPage::ShowButtons);
    connect(&m, &MapModel::busy, this, [this](bool on) {
        if (on)
            setCursor(Qt::WaitCursor);
        else
            unsetCursor();
    });
    connect(&ctl_, &MainController::languageChanged, this, &MapPage::ApplyLanguage);
    QPointer<MapPage> self(this);
    context.session.Cycle().OnSlot(Slot::Div5, [self] {
        if (self && self->isVisible()) self->ShowLive();
    });
    // "Auto Tuning" takes the samples by itself: "Read" waits meanwhile.
    context.session.Cycle().OnSlot(Slot::Div24, [self] {
        if (self && self->isVisible()) self->ShowButtons();
    });
    ApplyLanguage();
    ShowMap(true);
    ShowButtons();
}

MapPage::~MapPage() = default;

void MapPage::ApplyLanguage() {
    model_->ReloadTexts();
    const MapModel::Texts& t = model_->TabTexts();
    cmdRead_->setText(t.read);
    cmdClrPet_->setText(t.clearPetrol);
    cmdClrGas_->setText(t.clearGas);
    cmdCompute_->setText(t.compute);
    cmdOpen_->setText(t.open);
    cmdSave_->setText(t.save);
    lblPetrol_->setText(LegendText(QStringLiteral("\u25CF"), kPetrolColour, t.petrol));
    lblGas_->setText(LegendText(QStringLiteral("\u2715"), kGasColour, t.gas));
    ShowMap(true);
    ShowButtons();
}

void MapPage::ShowMap(bool relayout) {
    if (relayout || graph_->YAxis().max != model_->FullScale()) {
        const MapModel::Texts& t = model_->TabTexts();
        PlotAxis x;
        x.min = 0;
        x.max = 1000;
        x.divisions = 10;
        x.labelEvery = 100;
        x.decimals = 1;
        x.labelScale = 0.001;
        x.title = t.xAxis;
        PlotAxis y;
        y.min = 0;
        y.max = model_->FullScale();
        y.divisions = static_cast<int>(std::lround(y.max));
        y.labelEvery = 2;
        y.title = t.yAxis;
        graph_->SetAxes(x, y);
    }
    graph_->SetMarkers(kPetrol, model_->Markers(MapFuel::Petrol),
                       {MarkerShape::Dot, kPetrolColour, 7});
    graph_->SetMarkers(kGas, model_->Markers(MapFuel::Gas), {MarkerShape::Cross, kGasColour, 9});
    ShowButtons();
}

void MapPage::ShowButtons() {
    cmdCompute_->setEnabled(model_->ComputeEnabled());
    cmdRead_->setEnabled(model_->ReadEnabled());
    lblMatches_->setText(model_->TabTexts().matches + QStringLiteral(" %1").arg(model_->Matches()));
}

void MapPage::ShowLive() {
    graph_->SetLiveMarker(model_->LivePoint());
}

void MapPage::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    ShowMap(false);
    ShowLive();
}

}  // namespace gascal
