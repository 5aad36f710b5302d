#include "mainwindow/widgets/FrmInit.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "common/widgets/QtPrompts.h"

namespace gascal {

// The frame with the moving block.
class FrmInitBar : public QWidget {
  public:
    explicit FrmInitBar(QWidget* parent) : QWidget(parent) { setMinimumSize(240, 16); }
    void Step() {
        pos_ += dir_ * kStep;
        if (pos_ <= 0 || pos_ >= kTravel) {
            pos_ = std::clamp(pos_, 0, kTravel);
            dir_ = -dir_;
        }
        update();
    }
    int Pos() const { return pos_; }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), palette().base());
        p.setPen(palette().mid().color());
        p.drawRect(rect().adjusted(0, 0, -1, -1));
        const int w = width() / 5;
        const int x = (width() - w - 4) * pos_ / kTravel + 2;
        p.fillRect(QRect(x, 2, w, height() - 4), palette().highlight());
    }

  private:
    static constexpr int kTravel = 100;
    static constexpr int kStep = 5;
    int pos_ = 0;
    int dir_ = 1;
};

FrmInit::FrmInit(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FrmInit"));
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::CustomizeWindowHint);
    setModal(false);
    auto* lay = new QVBoxLayout(this);
    label_ = new QLabel(this);
    label_->setObjectName(QStringLiteral("LblMsg"));
    label_->setAlignment(Qt::AlignCenter);
    QFont f = label_->font();
    f.setBold(true);
    label_->setFont(f);
    bar_ = new FrmInitBar(this);
    lay->addWidget(label_);
    lay->addWidget(bar_);
    resize(TwipsToPixels(4800), TwipsToPixels(1400));
    timer_ = std::make_unique<Timer>("FrmInit", 100, [this] { bar_->Step(); });
}

FrmInit::~FrmInit() = default;

void FrmInit::SetTexts(const QString& reading, const QString& search) {
    reading_ = reading;
    search_ = search;
    const int t = type_;
    type_ = -1;
    TipoMessaggio(t);
}

void FrmInit::TipoMessaggio(int type) {
    if (type != 0 && type != 3) return;
    type_ = type;
    label_->setText(type == 0 ? reading_ : search_);
    setWindowTitle(label_->text());
}

void FrmInit::ShowSearch(bool visible, int type) {
    if (visible) {
        TipoMessaggio(type);
        if (!isVisible()) {
            show();
            CentreWindow(this);
            timer_->SetEnabled(true);
        }
    } else if (isVisible()) {
        hide();
        timer_->SetEnabled(false);
        label_->clear();
        type_ = -1;
    }
}

QString FrmInit::Message() const {
    return label_->text();
}
int FrmInit::Position() const {
    return bar_->Pos();
}

}  // namespace gascal
