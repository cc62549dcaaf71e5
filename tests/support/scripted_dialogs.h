// The window's dialogs answered from code, for window tests and the soak: what was asked is kept.
#pragma once

#include "app/dialogs.h"

#include <QColor>
#include <QFont>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace brimwell::testing {

// Answers every dialog from code and remembers what was asked.
class ScriptedDialogs : public DialogSeam {
  public:
    ScriptedDialogs() { setDialogs(this); }
    ~ScriptedDialogs() override { setDialogs(nullptr); }

    MsgAnswer messageBox(QWidget*, const QString& text, const QString& caption, MsgButtons buttons) override {
        messages << text;
        captions << caption;
        if (onMessage) onMessage(text);
        if (buttons == MsgButtons::YesNo) {
            if (onQuestion) return onQuestion(text);
            return MsgAnswer::No;
        }
        return MsgAnswer::Ok;
    }
    QString openFileName(QWidget*, const QString&, const QString& directory, const QString& filter) override {
        openedIn = directory;
        lastFilter = filter;
        return fileToOpen;
    }
    bool chooseFont(QWidget*, QFont& font, QColor& color) override {
        fontOffered = font;
        if (!fontAnswer) return false;
        font = *fontAnswer;
        if (colorAnswer.isValid()) color = colorAnswer;
        return true;
    }

    QStringList messages;
    QStringList captions;
    std::function<void(const QString&)> onMessage;
    std::function<MsgAnswer(const QString&)> onQuestion;
    QString fileToOpen;
    QString openedIn;
    QString lastFilter;
    std::optional<QFont> fontAnswer;
    QColor colorAnswer;
    QFont fontOffered;
};

} // namespace brimwell::testing
