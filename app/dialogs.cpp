// Toolkit implementation of the dialog seam.
#include "app/dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QFontDialog>
#include <QMessageBox>
#include <QStringList>

namespace brimwell {

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

MsgAnswer QtDialogs::messageBox(QWidget* owner, const QString& text, const QString& caption,
                                MsgButtons buttons) {
    const QString title = caption.isEmpty() ? QApplication::applicationDisplayName() : caption;
    const bool question = buttons == MsgButtons::YesNo;
    QMessageBox box(question ? QMessageBox::Question : QMessageBox::Information, title, withLineBreaks(text),
                    question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner);
    // Unit answers and file names are shown as they are, never read as markup.
    box.setTextFormat(Qt::PlainText);
    if (question) box.setDefaultButton(QMessageBox::No);
    const int r = box.exec();
    if (!question) return MsgAnswer::Ok;
    return r == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
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

bool QtDialogs::chooseFont(QWidget* owner, QFont& font, QColor&) {
    // The toolkit's font dialog offers no colour; the colour the pane has stays.
    bool ok = false;
    const QFont chosen = QFontDialog::getFont(&ok, font, owner);
    if (ok) font = chosen;
    return ok;
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

} // namespace brimwell
