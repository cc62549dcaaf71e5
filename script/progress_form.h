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

class ProgressForm : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kClientWidth = 430;
    static constexpr int kClientHeight = 145;
    // Least room between a caption and its value, whatever the font makes of the caption.
    static constexpr int kCaptionGap = 4;

    explicit ProgressForm(QWidget* parent = nullptr);

    // Shows the window (not modal) and fills it; lets pending events run so it paints at once.
    void showProgress(const ProgressInfo& info);
    // Bar back to 0, window hidden, pending events run.
    void hideProgress();
    // One block sent; steps beyond the maximum leave the bar full.
    void stepIt();
    // pciBoardLabel ("PCI Board :  %d" on the PCI link, hidden on the serial link).
    void setPciBoardLabel(bool visible, const QString& caption);

    // The controls, by their designed names.
    QLabel* titleLabel = nullptr;
    QLabel* filePathCaption = nullptr;
    QLabel* filePathLabel = nullptr;
    QProgressBar* fileProgressBar = nullptr;
    QLabel* fileNameCaption = nullptr;
    QLabel* blockNameLabel = nullptr;
    QLabel* fileSizeCaption = nullptr;
    QLabel* fileSizeLabel = nullptr;
    QLabel* checksumCaption = nullptr;
    QLabel* checksumLabel = nullptr;
    QLabel* loadAddressCaption = nullptr;
    QLabel* loadAddressLabel = nullptr;
    QPushButton* cancelButton = nullptr;
    QLabel* pciBoardLabel = nullptr;

  signals:
    // The Stop button was pressed (pressStop); the owner sets the engine's Cancelled.
    void cancelClicked();

  protected:
    void changeEvent(QEvent* event) override;

  private:
    void pressStop();
    // Each value at its designed place, or further right when its caption reaches past that.
    void placeValues();
};

} // namespace brimwell::script
