// The one road by which the window asks the operator something: message boxes, the script file
// dialog and the font dialog. Tests install their own answers here instead of clicking.
#pragma once

#include "script/script_host.h"

#include <QColor>
#include <QFont>
#include <QString>

#include <functional>

class QFontDialog;
class QMessageBox;
class QWidget;

namespace brimwell::app {

enum class MsgButtons { Ok, YesNo };
enum class MsgAnswer { Ok, Yes, No };
// What a box reports, as its caller knows it; the box's icon shows it. A Yes/No box is a question.
using MsgKind = script::MessageKind;

class DialogSeam {
  public:
    virtual ~DialogSeam() = default;
    // Modal box owned by `owner`; returns the button pressed.
    virtual MsgAnswer messageBox(QWidget* owner, const QString& text, const QString& caption,
                                 MsgButtons buttons, MsgKind kind) = 0;
    // A Yes/No question that does not wait: it returns at once, the events (and whatever work
    // lets them run) go on, and `answered` is called once the operator has answered. Unless
    // overridden, it is asked through messageBox and answered before this returns.
    virtual void askWithoutWaiting(QWidget* owner, const QString& text, const QString& caption,
                                   std::function<void(MsgAnswer)> answered) {
        answered(messageBox(owner, text, caption, MsgButtons::YesNo, MsgKind::Information));
    }
    // File-open dialog; an empty result means the operator cancelled.
    virtual QString openFileName(QWidget* owner, const QString& caption, const QString& directory,
                                 const QString& filter) = 0;
    // Font dialog preset with `font` and `color`; true and both updated when the operator confirms.
    virtual bool chooseFont(QWidget* owner, QFont& font, QColor& color) = 0;
};

// The real dialogs of the window toolkit.
class QtDialogs : public DialogSeam {
  public:
    MsgAnswer messageBox(QWidget* owner, const QString& text, const QString& caption, MsgButtons buttons,
                         MsgKind kind) override;
    // A window-modal box: the owner's input waits for it, its event loop does not.
    void askWithoutWaiting(QWidget* owner, const QString& text, const QString& caption,
                           std::function<void(MsgAnswer)> answered) override;
    QString openFileName(QWidget* owner, const QString& caption, const QString& directory,
                         const QString& filter) override;
    bool chooseFont(QWidget* owner, QFont& font, QColor& color) override;
};

// The toolkit's box for a message or a question, not yet shown.
QMessageBox* makeMessageBox(QWidget* owner, const QString& text, const QString& caption, MsgButtons buttons,
                            MsgKind kind);
// The toolkit's font dialog preset with `font` as the face and size that font really is, offering
// fixed-pitch faces, not yet shown.
QFontDialog* makeFontDialog(QWidget* owner, const QFont& font);

// The seam in use; never null (the toolkit's dialogs unless a test installed its own).
DialogSeam& dialogs();
// Installs `seam` (nullptr goes back to the toolkit's dialogs). The caller keeps ownership.
void setDialogs(DialogSeam* seam);

// The text with its CR LF and lone CR line ends as line feeds, which the toolkit's boxes and
// labels show as line breaks.
QString withLineBreaks(const QString& text);

// Converts a filter written as "Label|pattern|Label|pattern" into the toolkit's ";;" form.
QString toolkitFilter(const QString& pipeFilter);

} // namespace brimwell::app
