#pragma once
// Single-line text boxes must not keep line breaks or NUL from a paste: they
// would end up inside a wire command or a settings field.
#include <QString>

class QLineEdit;

// The text without CR, LF and NUL.
QString withoutLineBreaks(const QString &text);
// Makes the box drop CR, LF and NUL whenever its text changes, keeping the cursor.
void dropLineBreaks(QLineEdit *edit);
