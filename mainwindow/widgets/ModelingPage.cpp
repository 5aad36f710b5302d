#include "mainwindow/widgets/ModelingPage.h"

#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "ecu/ModelEditor.h"
#include "ecu/PollingCycle.h"
#include "mainwindow/controller/MainController.h"
#include "mainwindow/controller/MainSession.h"
#include "mainwindow/controller/ModelingModel.h"
#include "mainwindow/widgets/PlotArea.h"
#include "mainwindow/widgets/TabRegistry.h"
#include "mainwindow/widgets/WidgetKit.h"

namespace gascal {

namespace {
const TabRegistration kModelingTab(TAB_MODELING, [](PageContext& c, QWidget* parent) {
    return new ModelingPage(c, parent);
});

// Layers of the graph, drawn in this order.
enum Layer { kReference = 0, kSegments = 1, kTargets = 2, kPoints = 3 };

const QColor kSelected(255, 230, 60);
const QColor kUnselected(215, 45, 45);
const QColor kModelColour(20, 90, 200);
const QColor kTargetColour(240, 130, 0);

// A box the fitter clicks to choose what the buttons move.
QLineEdit* PositionBox(QWidget* parent, const QString& name) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setReadOnly(true);
    e->setAlignment(Qt::AlignRight);
    e->setFocusPolicy(Qt::StrongFocus);
    e->setMaximumWidth(e->fontMetrics().horizontalAdvance(QStringLiteral("000,000")) + 16);
    return e;
}

// Yellow and raised when highlighted, white and flat when not.
void Highlight(QLineEdit* e, bool on) {
    const QString style =
        on ? QStringLiteral("QLineEdit { background: #ffe63c; border: 2px outset #c8b000; }")
           : QStringLiteral("QLineEdit { background: white; border: 1px solid #b4b4b4; }");
    if (e->styleSheet() != style) e->setStyleSheet(style);
}

// The graph: its labels follow it when it is resized.
class ModelGraph : public PlotArea {
  public:
    using PlotArea::PlotArea;
    std::function<void()> resized;

  protected:
    void resizeEvent(QResizeEvent* e) override {
        PlotArea::resizeEvent(e);
        if (resized) resized();
    }
};
}  // namespace

ModelingPage::ModelingPage(PageContext& context, QWidget* parent)
    : QWidget(parent),
      ctl_(context.session.Controller()),
      model_(std::make_unique<ModelingModel>(context.session.Ecu(), context.session.Cycle())) {
    setObjectName(QStringLiteral("PageModeling"));
    auto* h = new QHBoxLayout(this);

    auto* graph = new ModelGraph(this);
    graph->setObjectName(QStringLiteral("ShpModGraph"));
    graph_ = graph;
    h->addWidget(graph_, 1);
    for (int i = 0; i < 7; ++i) {
        auto* l = new QLabel(QString::number(i), graph_);
        l->setObjectName(QStringLiteral("LblPntMod%1").arg(i));
        l->setAlignment(Qt::AlignCenter);
        l->setAutoFillBackground(true);
        l->setFrameShape(QFrame::Box);
        l->setFixedSize(18, 16);
        l->setCursor(Qt::PointingHandCursor);
        l->installEventFilter(this);
        lblPntMod_[static_cast<size_t>(i)] = l;
    }
    graph->resized = [this] { PlaceLabels(); };

    auto* side = new QVBoxLayout;
    h->addLayout(side);
    grpPoints_ = new QGroupBox(this);
    auto* g = new QGridLayout(grpPoints_);
    lblX_ = new QLabel(grpPoints_);
    lblY_ = new QLabel(grpPoints_);
    g->addWidget(lblX_, 0, 1);
    g->addWidget(lblY_, 0, 2);
    for (int i = 0; i < 5; ++i) {
        lblPoint_[static_cast<size_t>(i)] = new QLabel(grpPoints_);
        g->addWidget(lblPoint_[static_cast<size_t>(i)], i + 1, 0);
        txtXPos_[static_cast<size_t>(i)] =
            PositionBox(grpPoints_, QStringLiteral("TxtXPos%1").arg(i));
        txtYPos_[static_cast<size_t>(i)] =
            PositionBox(grpPoints_, QStringLiteral("TxtYPos%1").arg(i));
        txtXPos_[static_cast<size_t>(i)]->installEventFilter(this);
        txtYPos_[static_cast<size_t>(i)]->installEventFilter(this);
        g->addWidget(txtXPos_[static_cast<size_t>(i)], i + 1, 1);
        g->addWidget(txtYPos_[static_cast<size_t>(i)], i + 1, 2);
    }
    lblAlfa_ = new QLabel(grpPoints_);
    lblOffset_ = new QLabel(grpPoints_);
    txtAlfaPos_ = PositionBox(grpPoints_, QStringLiteral("TxtALfaPos"));
    txtOffsetPos_ = PositionBox(grpPoints_, QStringLiteral("TxtOffsetPos"));
    txtAlfaPos_->installEventFilter(this);
    txtOffsetPos_->installEventFilter(this);
    g->addWidget(lblAlfa_, 6, 0);
    g->addWidget(txtAlfaPos_, 6, 1);
    g->addWidget(lblOffset_, 7, 0);
    g->addWidget(txtOffsetPos_, 7, 1);
    side->addWidget(grpPoints_);

    // The edit buttons: the arrows show which way the point moves on the
    // graph (CmdLeft adds petrol time, so its point moves right).
    auto* arrows = new QGridLayout;
    arrows->addWidget(EditButtonFor(EditButton::Up, QStringLiteral("\u25B2"), "CmdUp"), 0, 1);
    arrows->addWidget(EditButtonFor(EditButton::Right, QStringLiteral("\u25C0"), "CmdRight"), 1, 0);
    arrows->addWidget(EditButtonFor(EditButton::Left, QStringLiteral("\u25B6"), "CmdLeft"), 1, 2);
    arrows->addWidget(EditButtonFor(EditButton::Down, QStringLiteral("\u25BC"), "CmdDown"), 2, 1);
    arrows->addWidget(EditButtonFor(EditButton::AlfaUp, QStringLiteral("ALFA +"), "CmdAlfaUp"), 0,
                      3);
    arrows->addWidget(
        EditButtonFor(EditButton::AlfaDown, QStringLiteral("ALFA \u2212"), "CmdAlfaDown"), 1, 3);
    arrows->addWidget(
        EditButtonFor(EditButton::OffsetUp, QStringLiteral("OFFSET +"), "CmdOffsetUp"), 0, 4);
    arrows->addWidget(
        EditButtonFor(EditButton::OffsetDown, QStringLiteral("OFFSET \u2212"), "CmdOffsetDown"), 1,
        4);
    side->addLayout(arrows);

    const auto button = [this](const char* name) {
        auto* b = new QPushButton(this);
        b->setObjectName(QString::fromLatin1(name));
        return b;
    };
    auto* history = new QHBoxLayout;
    cmdUndo_ = button("CmdUndo");
    cmdRedo_ = button("CmdRedo");
    history->addWidget(cmdUndo_);
    history->addWidget(cmdRedo_);
    side->addLayout(history);
    auto* resets = new QHBoxLayout;
    cmdResetLine_ = button("CmdResetLine");
    cmdReset_ = button("CmdReset");
    resets->addWidget(cmdResetLine_);
    resets->addWidget(cmdReset_);
    side->addLayout(resets);
    cmdClearModel_ = button("CmdShpMapMod");
    side->addWidget(cmdClearModel_);
    // The fit to the target markers, and what it did.
    cmdFit_ = button("CmdFit");
    side->addWidget(cmdFit_);
    lblFit_ = new QLabel(this);
    lblFit_->setObjectName(QStringLiteral("LblFit"));
    lblFit_->setWordWrap(true);
    side->addWidget(lblFit_);
    auto* files = new QHBoxLayout;
    cmdOpen_ = button("CmdModOpen");
    cmdSave_ = button("CmdModSave");
    files->addWidget(cmdOpen_);
    files->addWidget(cmdSave_);
    side->addLayout(files);
    side->addStretch(1);

    ModelingModel& m = *model_;
    connect(cmdUndo_, &QPushButton::clicked, this, [&m] { m.Undo(); });
    connect(cmdRedo_, &QPushButton::clicked, this, [&m] { m.Redo(); });
    connect(cmdResetLine_, &QPushButton::clicked, this, [&m] { m.CmdResetLine_Click(); });
    connect(cmdReset_, &QPushButton::clicked, this, [&m] { m.CmdReset_Click(); });
    connect(cmdClearModel_, &QPushButton::clicked, this, [&m] { m.CmdShpMapMod_Click(); });
    connect(cmdFit_, &QPushButton::clicked, this, [&m] { m.CmdFit_Click(); });
    connect(cmdOpen_, &QPushButton::clicked, &ctl_, &MainController::CmdModOpen_Click);
    connect(cmdSave_, &QPushButton::clicked, &ctl_, &MainController::CmdModSave_Click);
    auto* undo =
        new QShortcut(QKeySequence::Undo, this, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    auto* redo = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Y), this, nullptr, nullptr,
                               Qt::WidgetWithChildrenShortcut);
    connect(undo, &QShortcut::activated, this, [&m] { m.Undo(); });
    connect(redo, &QShortcut::activated, this, [&m] { m.Redo(); });

    // The model, its selection and its history belong to the session and
    // outlive the page: each listener checks that the page still exists.
    QPointer<ModelingPage> self(this);
    ModelEditor& editor = model_->Editor();
    editor.OnModelChanged([self] {
        if (self) self->ShowModel();
    });
    editor.OnSelectionChanged([self] {
        if (self) self->ShowSelection();
    });
    editor.OnHistoryChanged([self] {
        if (self) self->ShowHistory();
    });
    model_->OnTargetsChanged([self] {
        if (self) self->ShowTargets();
    });
    model_->OnFitted([self] {
        if (self) self->lblFit_->setText(self->model_->FitSummary());
    });
    context.session.Cycle().OnSlot(Slot::Div5, [self] {
        if (self && self->isVisible()) self->ShowLive();
    });
    connect(&ctl_, &MainController::languageChanged, this, &ModelingPage::ApplyLanguage);

    PlotAxis x;
    x.min = 0;
    x.max = kModelGraphMaxX;
    x.divisions = 20;
    x.labelEvery = 2;
    PlotAxis y;
    y.min = 0;
    y.max = kModelGraphMaxY;
    y.divisions = 31;
    y.labelEvery = 5;
    graph_->SetAxes(x, y);
    ApplyLanguage();
    ShowModel();
    ShowSelection();
    ShowTargets();
    ShowHistory();
}

ModelingPage::~ModelingPage() = default;

QPushButton* ModelingPage::EditButtonFor(EditButton b, const QString& caption, const char* name) {
    auto* button = new QPushButton(caption, this);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoRepeat(false);
    button->setFocusPolicy(Qt::NoFocus);
    ModelingModel& m = *model_;
    connect(button, &QPushButton::pressed, this, [&m, b] { m.ButtonDown(b); });
    connect(button, &QPushButton::released, this, [&m] { m.ButtonUp(); });
    return button;
}

void ModelingPage::ApplyLanguage() {
    model_->ReloadTexts();
    const ModelingModel::Texts& t = model_->TabTexts();
    PlotAxis x = graph_->XAxis(), y = graph_->YAxis();
    x.title = t.xAxis;
    y.title = t.yAxis;
    graph_->SetAxes(x, y);
    grpPoints_->setTitle(QString());
    lblX_->setText(t.xPos);
    lblY_->setText(t.yPos);
    for (int i = 0; i < 5; ++i)
        lblPoint_[static_cast<size_t>(i)]->setText(t.point + QStringLiteral(" %1").arg(i + 1));
    lblAlfa_->setText(t.alfa);
    lblOffset_->setText(t.offset);
    cmdUndo_->setText(t.undo);
    cmdRedo_->setText(t.redo);
    cmdResetLine_->setText(t.resetLine);
    cmdReset_->setText(t.reset);
    cmdClearModel_->setText(t.clearModel);
    cmdFit_->setText(t.fit);
    lblFit_->setText(model_->FitSummary());
    cmdOpen_->setText(t.open);
    cmdSave_->setText(t.save);
}

void ModelingPage::ShowModel() {
    graph_->SetPolyline(kReference, model_->ReferenceLine(), QColor(140, 140, 140), 1,
                        Qt::DashLine);
    graph_->SetPolyline(kSegments, model_->Segments(), kModelColour, 2);
    graph_->SetMarkers(kPoints, model_->Points(), {MarkerShape::Square, kModelColour, 7});
    const ModelTexts texts = model_->Editor().Texts();
    for (size_t i = 0; i < 5; ++i) {
        SetText(txtXPos_[i], texts.xPos[i]);
        SetText(txtYPos_[i], texts.yPos[i]);
    }
    SetText(txtAlfaPos_, texts.alfa);
    SetText(txtOffsetPos_, texts.offset);
    for (size_t i = 0; i < lblPntMod_.size(); ++i) lblPntMod_[i]->setToolTip(texts.toolTip[i]);
    PlaceLabels();
}

void ModelingPage::PlaceLabels() {
    const std::vector<QPointF> points = model_->Points();
    for (size_t i = 0; i < lblPntMod_.size() && i < points.size(); ++i) {
        QLabel* l = lblPntMod_[i];
        // Beside the point, up and to the left, kept inside the graph.
        const QPointF p = graph_->ToPixel(points[i]);
        int px = int(p.x()) - l->width() - 4;
        int py = int(p.y()) - l->height() - 4;
        px = std::clamp(px, 0, std::max(0, graph_->width() - l->width()));
        py = std::clamp(py, 0, std::max(0, graph_->height() - l->height()));
        l->move(px, py);
    }
}

void ModelingPage::ShowSelection() {
    const PointSelection& s = model_->Editor().Selection();
    for (size_t i = 0; i < lblPntMod_.size(); ++i)
        Fill(lblPntMod_[i], s.label[i] ? kSelected : kUnselected);
    for (size_t i = 0; i < 5; ++i) {
        Highlight(txtXPos_[i], s.xBox[i]);
        Highlight(txtYPos_[i], s.yBox[i]);
    }
    Highlight(txtAlfaPos_, s.alfaBox);
    Highlight(txtOffsetPos_, s.offsetBox);
}

void ModelingPage::ShowTargets() {
    graph_->SetMarkers(kTargets, model_->Targets(), {MarkerShape::Diamond, kTargetColour, 9});
    cmdFit_->setEnabled(model_->CanFit());
}

void ModelingPage::ShowHistory() {
    cmdUndo_->setEnabled(model_->Editor().CanUndo());
    cmdRedo_->setEnabled(model_->Editor().CanRedo());
    cmdFit_->setEnabled(model_->CanFit());  // not while a button is held
}

void ModelingPage::ShowLive() {
    graph_->SetLiveMarker(model_->LivePoint());
}

void ModelingPage::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    // The first point field takes the focus, so Ctrl+Z works at once.
    txtXPos_[0]->setFocus();
    ShowLive();
}

bool ModelingPage::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::MouseButtonPress) {
        ModelEditor& editor = model_->Editor();
        for (size_t i = 0; i < lblPntMod_.size(); ++i)
            if (watched == lblPntMod_[i]) editor.LblPntMod_Click(static_cast<int>(i));
        for (size_t i = 0; i < 5; ++i) {
            if (watched == txtXPos_[i]) editor.TxtXPos_Click(static_cast<int>(i));
            if (watched == txtYPos_[i]) editor.TxtYPos_Click(static_cast<int>(i));
        }
        if (watched == txtAlfaPos_) editor.TxtALfaPos_Click();
        if (watched == txtOffsetPos_) editor.TxtOffsetPos_Click();
    }
    return QWidget::eventFilter(watched, e);
}

}  // namespace gascal
