#include "platform/singleline.h"

#include <QLineEdit>

QString withoutLineBreaks(const QString &text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c != u'\r' && c != u'\n' && c != QChar(0)) out.append(c);
    }
    return out;
}

void dropLineBreaks(QLineEdit *edit) {
    QObject::connect(edit, &QLineEdit::textChanged, edit, [edit](const QString &text) {
        const QString clean = withoutLineBreaks(text);
        if (clean.size() == text.size()) return;
        const int removedBeforeCursor =
            int(text.left(edit->cursorPosition()).size() -
                withoutLineBreaks(text.left(edit->cursorPosition())).size());
        const int cursor = edit->cursorPosition() - removedBeforeCursor;
        edit->setText(clean); // emits textChanged once more, with the clean text
        edit->setCursorPosition(cursor);
    });
}
