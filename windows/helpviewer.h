#pragma once
// The program's own help viewer: one window with an HTML browser, opened on a
// help file at its contents (the top of the file). A file that is missing,
// unreadable or too large is reported inside the viewer, never by a crash.
#include <QString>
#include <QWidget>

class QTextBrowser;

class HelpViewer : public QWidget {
    Q_OBJECT
  public:
    explicit HelpViewer(QWidget *parent = nullptr);

    // Loads the file and shows its top. False when it could not be read; the
    // viewer then says so.
    bool openAtContents(const QString &path);

    QTextBrowser *browser() const { return m_browser; }

  private:
    QTextBrowser *m_browser;
};

// Opens the help file in the one viewer window of the program (help command 3,
// contents), creating the window on first use and raising it afterwards.
void openHelpFile(const QString &path);
