// The port search window: a small window with a message and a bar that
// moves back and forth while the tool searches the ECU's port or reads the
// ECU's data after connecting. The main controller decides when it shows
// and with which message (ElaboraMsgCom).
#pragma once

#include <QDialog>
#include <memory>

#include "common/EventService.h"

class QLabel;

namespace gascal {

class FrmInitBar;

class FrmInit : public QDialog {
    Q_OBJECT
  public:
    explicit FrmInit(QWidget* parent = nullptr);
    ~FrmInit() override;
    // Message texts: type 0 (reading the ECU) and type 3 (searching).
    void SetTexts(const QString& reading, const QString& search);
    // TipoMessaggio: 0 and 3 are shown, other values ignored.
    void TipoMessaggio(int type);
    void ShowSearch(bool visible, int type);
    QString Message() const;
    int Position() const;

  private:
    QLabel* label_;
    FrmInitBar* bar_;
    QString reading_, search_;
    int type_ = -1;
    std::unique_ptr<Timer> timer_;
};

}  // namespace gascal
