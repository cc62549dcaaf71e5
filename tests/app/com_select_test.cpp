// The "Select Port" dialog: which ports it offers, what it hands back, and the serial port's
// prompt hook that shows it.
#include "app/com_select_form.h"
#include "app_test_support.h"
#include "serial/component/com_port.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace brimwell;
using namespace brimwell::testing;
using brimwell::test::PtyPair;

namespace {
// COM1 to COM50 point at nothing but COMn, a pseudo-terminal.
struct OnlyOnePort {
    explicit OnlyOnePort(unsigned n) {
        for (int c = 1; c <= 50; ++c)
            mapCom(c, dir.file("absent" + std::to_string(c)));
        pty.bindCom(n);
    }
    TempDir dir;
    PtyPair pty{PtyPair::Slave::held};
};
} // namespace

TEST(ComSelectForm, ListsTheAvailablePortsAmongOneToFiftyInOrder) {
    std::vector<unsigned> asked;
    app::ComSelectForm form(nullptr, [&](unsigned n) {
        asked.push_back(n);
        return n == 3 || n == 12 || n == 50 || n == 51;
    });
    ASSERT_EQ(asked.size(), 50u);
    EXPECT_EQ(asked.front(), 1u);
    EXPECT_EQ(asked.back(), 50u);
    QStringList items;
    for (int i = 0; i < form.portComboBox->count(); ++i)
        items << form.portComboBox->itemText(i);
    EXPECT_EQ(items, QStringList({"COM3", "COM12", "COM50"})) << "51 is never asked or listed";
    EXPECT_EQ(form.selectedCom(), "COM3") << "the first entry is selected";
    EXPECT_EQ(form.selectedComNum(), 3);
    form.portComboBox->setCurrentIndex(1);
    EXPECT_EQ(form.selectedComNum(), 12);

    EXPECT_EQ(form.windowTitle(), "Select Port");
    EXPECT_EQ(form.problemLabel->text(), "The configured serial port is not valid.");
    EXPECT_EQ(form.adviceLabel->text(), "Please choose another port.");
    EXPECT_EQ(form.okButton->text(), "OK");
    EXPECT_TRUE(form.okButton->isDefault());
    EXPECT_EQ(form.cancelButton->text(), "Cancel");
}

TEST(ComSelectForm, WithNothingToOfferOnlyCancelWorks) {
    app::ComSelectForm form(nullptr, [](unsigned) { return false; });
    EXPECT_EQ(form.portComboBox->count(), 0);
    EXPECT_FALSE(form.okButton->isEnabled());
    EXPECT_EQ(form.selectedComNum(), 0);
}

TEST(ComSelectForm, RealAvailabilityTestSeesAMappedPseudoTerminal) {
    const OnlyOnePort only(17);
    app::ComSelectForm form;
    ASSERT_EQ(form.portComboBox->count(), 1);
    EXPECT_EQ(form.selectedCom(), "COM17");
}

TEST(ComSelectForm, OpeningThePortWithoutANumberAsksThroughTheDialog) {
    const OnlyOnePort only(23);
    serial::ComPort::setPromptForPortHook(
        [](serial::ComPort*) { return static_cast<uint32_t>(app::promptForPort()); });

    QStringList offered;
    app::setComSelectResponder([&](app::ComSelectForm& form) {
        for (int i = 0; i < form.portComboBox->count(); ++i)
            offered << form.portComboBox->itemText(i);
        return int(QDialog::Accepted);
    });
    {
        serial::ComPort port;
        port.setComNumber(0);
        port.setOpen(true);
        EXPECT_EQ(offered, QStringList({"COM23"}));
        EXPECT_EQ(port.comNumber(), 23);
        EXPECT_TRUE(port.isOpen());
        port.setOpen(false);
    }

    app::setComSelectResponder([](app::ComSelectForm&) { return int(QDialog::Rejected); });
    {
        serial::ComPort port;
        EXPECT_THROW(port.setOpen(true), serial::NoPortSelectedError);
        EXPECT_FALSE(port.isOpen());
    }
    app::setComSelectResponder({});
    serial::ComPort::setPromptForPortHook({});
}
