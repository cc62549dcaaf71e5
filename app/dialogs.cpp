// Toolkit implementation of the dialog seam.
#include "app/dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QFontDialog>
#include <QMessageBox>
#include <QStringList>

#include <memory>

namespace brimwell::app {

namespace {
QtDialogs g_qtDialogs;
DialogSeam* g_seam = nullptr;
} // namespace

DialogSeam& dialogs() {
    return g_seam ? *g_seam : g_qtDialogs;
}
void setDialogs(DialogSeam* seam) {
    g_seam = seam;
}

QMessageBox* makeMessageBox(QWidget* owner, const QString& text, const QString& caption, MsgButtons buttons,
                            MsgKind kind) {
    const QString title = caption.isEmpty() ? QApplication::applicationDisplayName() : caption;
    const bool question = buttons == MsgButtons::YesNo;
    const QMessageBox::Icon icon = question                   ? QMessageBox::Question
                                   : kind == MsgKind::Error   ? QMessageBox::Critical
                                   : kind == MsgKind::Warning ? QMessageBox::Warning
                                                              : QMessageBox::Information;
    auto* box = new QMessageBox(icon, title, withLineBreaks(text),
                                question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner);
    // Unit answers and file names are shown as they are, never read as markup.
    box->setTextFormat(Qt::PlainText);
    if (question) box->setDefaultButton(QMessageBox::No);
    return box;
}

MsgAnswer QtDialogs::messageBox(QWidget* owner, const QString& text, const QString& caption,
                                MsgButtons buttons, MsgKind kind) {
    const std::unique_ptr<QMessageBox> box(makeMessageBox(owner, text, caption, buttons, kind));
    const int r = box->exec();
    if (buttons != MsgButtons::YesNo) return MsgAnswer::Ok;
    return r == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
}

void QtDialogs::askWithoutWaiting(QWidget* owner, const QString& text, const QString& caption,
                                  std::function<void(MsgAnswer)> answered) {
    QMessageBox* box = makeMessageBox(owner, text, caption, MsgButtons::YesNo, MsgKind::Information);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, box, [answered = std::move(answered)](int r) {
        answered(r == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No);
    });
    box->open();
}

QString withLineBreaks(const QString& text) {
    // The texts were written for a toolkit that breaks lines at CR LF and at a lone CR.
    QString out = text;
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

QString QtDialogs::openFileName(QWidget* owner, const QString& caption, const QString& directory,
                                const QString& filter) {
    return QFileDialog::getOpenFileName(owner, caption, directory, toolkitFilter(filter));
}

QFontDialog* makeFontDialog(QWidget* owner, const QFont& font) {
    // The pane's font may be named by a face the machine substitutes and sized in pixels; the
    // dialog lists real faces in points, so it is given the face and size that are drawn.
    const QFontInfo drawn(font);
    QFont shown(drawn.family());
    shown.setPointSizeF(drawn.pointSizeF());
    shown.setWeight(QFont::Weight(drawn.weight()));
    shown.setItalic(drawn.italic());
    auto* dialog = new QFontDialog(owner);
    dialog->setOption(QFontDialog::MonospacedFonts);
    dialog->setCurrentFont(shown);
    return dialog;
}

bool QtDialogs::chooseFont(QWidget* owner, QFont& font, QColor&) {
    // The toolkit's font dialog offers no colour; the colour the pane has stays.
    const std::unique_ptr<QFontDialog> dialog(makeFontDialog(owner, font));
    if (dialog->exec() != QDialog::Accepted) return false;
    font = dialog->selectedFont();
    return true;
}

QString toolkitFilter(const QString& pipeFilter) {
    const QStringList parts = pipeFilter.split('|');
    QStringList entries;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString label = parts[i];
        // The toolkit reads patterns from the parentheses of the label; make sure they are there.
        if (!label.contains('(')) label += " (" + QString(parts[i + 1]).replace(';', ' ') + ")";
        entries << label;
    }
    return entries.join(";;");
}

} // namespace brimwell::app
