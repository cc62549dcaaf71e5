// The "Select Port" dialog the serial port shows when it is opened without a port number: lists
// every port among COM1 to COM50 that can be opened now.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QComboBox;
class QLabel;
class QPushButton;

namespace brimwell::app {

class ComSelectForm : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kFirstPort = 1;
    static constexpr int kLastPort = 50;

    // `available` answers whether port n can be offered; the port availability test by default.
    using AvailabilityTest = std::function<bool(unsigned n)>;
    explicit ComSelectForm(QWidget* parent = nullptr, AvailabilityTest available = {});

    // Text of the chosen entry ("COM3"), and its port number (0 when nothing is chosen).
    QString selectedCom() const;
    int selectedComNum() const;

    QLabel* problemLabel = nullptr;
    QLabel* adviceLabel = nullptr;
    QComboBox* portComboBox = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;
};

// The hook the serial port calls to prompt for a port: shows the dialog modally and returns the
// chosen port number, or 0 when the operator cancelled or no port could be offered.
int promptForPort();

// Lets tests answer the prompt: `answer` receives the dialog before it is shown and returns the
// dialog result to use instead of running it (QDialog::Accepted or Rejected). Empty: really show it.
void setComSelectResponder(std::function<int(ComSelectForm&)> answer);

} // namespace brimwell::app
