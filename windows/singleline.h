#pragma once
// Line breaks and NULs pasted into a one-line field would end a protocol
// line early or desynchronise a dialogue: such fields drop them as they come
// in, typed, pasted or set by the program.
class QLineEdit;

void dropLineBreaks(QLineEdit *edit);
