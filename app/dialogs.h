// The one road by which the window asks the operator something: message boxes, the script file
// dialog and the font dialog. Tests install their own answers here instead of clicking.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QWidget;

namespace brimwell {

enum class MsgButtons { Ok, YesNo };
enum class MsgAnswer { Ok, Yes, No };

class DialogSeam {
  public:
    virtual ~DialogSeam() = default;
    // Modal box owned by `owner`; returns the button pressed.
    virtual MsgAnswer messageBox(QWidget* owner, const QString& text, const QString& caption,
                                 MsgButtons buttons) = 0;
    // File-open dialog; an empty result means the operator cancelled.
    virtual QString openFileName(QWidget* owner, const QString& caption, const QString& directory,
                                 const QString& filter) = 0;
    // Font dialog preset with `font` and `color`; true and both updated when the operator confirms.
    virtual bool chooseFont(QWidget* owner, QFont& font, QColor& color) = 0;
};

// The real dialogs of the window toolkit.
class QtDialogs : public DialogSeam {
  public:
    MsgAnswer messageBox(QWidget* owner, const QString& text, const QString& caption,
                         MsgButtons buttons) override;
    QString openFileName(QWidget* owner, const QString& caption, const QString& directory,
                         const QString& filter) override;
    bool chooseFont(QWidget* owner, QFont& font, QColor& color) override;
};

// The seam in use; never null (the toolkit's dialogs unless a test installed its own).
DialogSeam& dialogs();
// Installs `seam` (nullptr goes back to the toolkit's dialogs). The caller keeps ownership.
void setDialogs(DialogSeam* seam);

// The text with its CR LF and lone CR line ends as line feeds, which the toolkit's boxes and
// labels show as line breaks.
QString withLineBreaks(const QString& text);

// Converts a filter written as "Label|pattern|Label|pattern" into the toolkit's ";;" form.
QString toolkitFilter(const QString& pipeFilter);

} // namespace brimwell
