#include "windows/singleline.h"

#include <QLineEdit>
#include <QValidator>

namespace {
// A validator rewrites the text before it is taken, so the field changes once
// and its change handlers see only the clean text.
class SingleLineValidator : public QValidator {
  public:
    using QValidator::QValidator;
    State validate(QString &input, int &pos) const override {
        qsizetype removedBeforeCursor = 0;
        QString clean;
        clean.reserve(input.size());
        for (qsizetype i = 0; i < input.size(); ++i) {
            const QChar c = input.at(i);
            if (c == u'\r' || c == u'\n' || c == QChar(0)) {
                if (i < pos) ++removedBeforeCursor;
                continue;
            }
            clean += c;
        }
        if (clean.size() != input.size()) {
            input = clean;
            pos -= int(removedBeforeCursor);
        }
        return Acceptable;
    }
};
} // namespace

void dropLineBreaks(QLineEdit *edit) {
    edit->setValidator(new SingleLineValidator(edit));
}
