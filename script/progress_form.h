// The progress window that follows one data-file upload: file name, checksum, load address and
// size, a bar stepped block by block, and the Stop button. Created once, shown and hidden by
// the window's ScriptHost; Stop reaches the engine through cancelClicked().
#pragma once

#include "script/script_host.h"

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

namespace brimwell::script {

class TProgressForm : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kClientWidth = 430;
    static constexpr int kClientHeight = 145;
    // Least room between a caption and its value, whatever the font makes of the caption.
    static constexpr int kCaptionGap = 4;

    explicit TProgressForm(QWidget* parent = nullptr);

    // Shows the window (not modal) and fills it; lets pending events run so it paints at once.
    void ShowProgressForm(const ProgressInfo& info);
    // Bar back to 0, window hidden, pending events run.
    void HideProgressForm();
    // One block sent; steps beyond the maximum leave the bar full.
    void StepIt();
    // PCINumberLabel ("PCI Board :  %d" on the PCI link, hidden on the serial link).
    void setPciBoardLabel(bool visible, const QString& caption);

    // The controls, by their designed names.
    QLabel* Label1 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* FilePathLabel = nullptr;
    QProgressBar* FileProgressBar = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* BlockNameLabel = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* FileSizeLabel = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* ChecksumLabel = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* LoadAddressLabel = nullptr;
    QPushButton* CancelButton = nullptr;
    QLabel* PCINumberLabel = nullptr;

  signals:
    // The Stop button was pressed (CancelButtonClick); the owner sets the engine's Cancelled.
    void cancelClicked();

  protected:
    void changeEvent(QEvent* event) override;

  private:
    void CancelButtonClick();
    // Each value at its designed place, or further right when its caption reaches past that.
    void placeValues();
};

} // namespace brimwell::script
