// The window's side of a script run.
#include "app/window_host.h"

#include "app/main_window.h"
#include "script/progress_form.h"
#include "serial/component/pending_events.h"
#include "terminal/widget/terminal_widget.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>

#include <algorithm>

namespace brimwell::app {

WindowHost::~WindowHost() {
    while (busyDepth_ > 0) {
        QApplication::restoreOverrideCursor();
        --busyDepth_;
    }
}

void WindowHost::report(const script::RunError& message) {
    if (message.kind == script::MessageKind::Error) {
        ++errorMessages_;
        errorsShown_.push_back(message.text);
    }
    if (record_) record_->addMessage(message);
    form_.showMessage(QString::fromStdString(message.text), message.kind);
}

bool WindowHost::errorShown(const std::string& text) const {
    return std::find(errorsShown_.begin(), errorsShown_.end(), text) != errorsShown_.end();
}

void WindowHost::setStatusText(const std::string& text) {
    if (record_ && text.find_first_not_of(' ') != std::string::npos) record_->addText("status", text);
    form_.setStatusText(QString::fromStdString(text));
}

void WindowHost::setButtonsEnabled(bool enabled) {
    if (enabled)
        form_.enableButtons();
    else
        form_.disableButtons();
}

void WindowHost::processEvents() {
    serial::processPendingEvents();
}

void WindowHost::showProgress(const script::ProgressInfo& info) {
    form_.progressForm->showProgress(info);
}

void WindowHost::stepProgress() {
    form_.progressForm->stepIt();
}

void WindowHost::hideProgress() {
    form_.progressForm->hideProgress();
}

void WindowHost::setBusyCursor(bool busy) {
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        ++busyDepth_;
    } else if (busyDepth_ > 0) {
        QApplication::restoreOverrideCursor();
        --busyDepth_;
    }
}

void WindowHost::setConfigMenuVisible(bool visible) {
    form_.configMenu->menuAction()->setVisible(visible);
    // The font dialog waits for the operator; behind it the upload would stand still until the
    // unit gave up on the load.
    form_.terminalFontsAction->setEnabled(visible);
}

void WindowHost::setPciBoardLabel(bool visible, const std::string& caption) {
    form_.progressForm->setPciBoardLabel(visible, QString::fromStdString(caption));
}

void WindowHost::focusTerminal() {
    if (form_.terminalPane && form_.terminalPane->isVisible()) form_.terminalPane->setFocus();
}

void WindowHost::runFinished(script::RunOutcome outcome) {
    lastOutcome_ = outcome;
}

void WindowHost::dataFileDone(const script::DataFileResult& result) {
    if (record_) record_->addDataFile(result);
}

void WindowHost::blockSent(int, int length) {
    if (record_) record_->addBytesSent(length);
}

void WindowHost::unitAnswered(const std::string& query, const std::string& answer) {
    if (record_) record_->addAnswer(query, answer);
}

} // namespace brimwell::app
