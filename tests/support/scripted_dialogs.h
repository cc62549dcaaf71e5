// The window's dialogs answered from code, for window tests and the soak: what was asked is kept.
#pragma once

#include "app/dialogs.h"

#include <QColor>
#include <QFont>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

namespace brimwell::testing {

// Answers every dialog from code and remembers what was asked.
class ScriptedDialogs : public app::DialogSeam {
  public:
    ScriptedDialogs() { app::setDialogs(this); }
    ~ScriptedDialogs() override { app::setDialogs(nullptr); }

    app::MsgAnswer messageBox(QWidget*, const QString& text, const QString& caption, app::MsgButtons buttons,
                              app::MsgKind kind) override {
        messages << text;
        captions << caption;
        kinds.push_back(kind);
        if (onMessage) onMessage(text);
        if (buttons == app::MsgButtons::YesNo) {
            if (onQuestion) return onQuestion(text);
            return app::MsgAnswer::No;
        }
        return app::MsgAnswer::Ok;
    }
    // With holdQuestions, a question that does not wait stays open until the test calls held.
    void askWithoutWaiting(QWidget* owner, const QString& text, const QString& caption,
                           std::function<void(app::MsgAnswer)> answered) override {
        if (!holdQuestions)
            return app::DialogSeam::askWithoutWaiting(owner, text, caption, std::move(answered));
        messages << text;
        held = std::move(answered);
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
    std::vector<app::MsgKind> kinds;
    bool holdQuestions = false;
    std::function<void(app::MsgAnswer)> held;
    std::function<void(const QString&)> onMessage;
    std::function<app::MsgAnswer(const QString&)> onQuestion;
    QString fileToOpen;
    QString openedIn;
    QString lastFilter;
    std::optional<QFont> fontAnswer;
    QColor colorAnswer;
    QFont fontOffered;
};

} // namespace brimwell::testing
