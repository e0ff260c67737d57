#include "windows/helpviewer.h"

#include "platform/codepage.h"
#include "windows/resources.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPointer>
#include <QScrollBar>
#include <QStringDecoder>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace {

// A help file is a few dozen kilobytes; anything far larger is not ours.
constexpr qint64 kMaxHelpBytes = 4 * 1024 * 1024;

QString decodeHtml(const QByteArray &bytes) {
    // The file names its encoding; without one, code page 932 like every
    // other file of the program.
    const QByteArray head = bytes.left(1024).toLower();
    if (head.contains("charset=utf-8") || head.contains("charset=\"utf-8\"") ||
        bytes.startsWith("\xEF\xBB\xBF")) {
        QStringDecoder utf8(QStringDecoder::Utf8);
        return utf8(bytes);
    }
    return cp932::decode(bytes);
}

QString failurePage(const QString &path, const QString &reason) {
    return QStringLiteral("<html><body><h2>ヘルプを表示できません</h2>"
                          "<p>ヘルプファイル「%1」を開けませんでした（%2）。</p>"
                          "<p>その場所に quillmon.hlp があるか確かめてください。</p>"
                          "</body></html>")
        .arg(path.toHtmlEscaped(), reason);
}

// A browser that goes nowhere but the help file's own folder: anchors in the
// page, and pages and pictures beside the file, each capped. A link to
// another place on the disk ("file:", "../") shows nothing.
class HelpBrowser : public QTextBrowser {
  public:
    using QTextBrowser::QTextBrowser;
    QString folder; // canonical; empty: nothing may be loaded

    QVariant loadResource(int type, const QUrl &name) override {
        const QString path = inside(name);
        if (path.isEmpty()) return {};
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxHelpBytes) return {};
        const QByteArray bytes = file.read(kMaxHelpBytes);
        if (type == QTextDocument::HtmlResource) return decodeHtml(bytes);
        if (type == QTextDocument::ImageResource) {
            // A small file may still claim a huge picture.
            QBuffer buffer;
            buffer.setData(bytes);
            QImageReader reader(&buffer);
            reader.setAllocationLimit(64);
            return reader.read();
        }
        return bytes;
    }

  protected:
    void doSetSource(const QUrl &name, QTextDocument::ResourceType type) override {
        // An anchor of the page shown, or a page inside the folder.
        if (name.scheme().isEmpty() && name.path().isEmpty()) {
            scrollToAnchor(name.fragment());
            return;
        }
        if (!inside(name).isEmpty()) QTextBrowser::doSetSource(name, type);
    }

  private:
    // The canonical local path of a resource when it lies inside the folder.
    QString inside(const QUrl &name) const {
        if (folder.isEmpty()) return {};
        if (!name.scheme().isEmpty() && name.scheme() != u"file") return {};
        const QString relative = name.isLocalFile() ? name.toLocalFile() : name.path();
        if (relative.isEmpty()) return {};
        const QString canonical =
            QFileInfo(QDir(folder).absoluteFilePath(relative)).canonicalFilePath();
        if (canonical.isEmpty() || !canonical.startsWith(folder + u'/')) return {};
        return QFileInfo(canonical).isFile() ? canonical : QString();
    }
};

} // namespace

HelpViewer::HelpViewer(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("HelpViewer"));
    setWindowFlag(Qt::Window, true);
    setWindowTitle(QStringLiteral("クイルモン7400 ヘルプ"));
    setWindowIcon(programIcon());
    // Closing help while the program sits in the tray must not end it.
    setAttribute(Qt::WA_QuitOnClose, false);
    m_browser = new HelpBrowser(this);
    m_browser->setObjectName(QStringLiteral("HelpText"));
    m_browser->setOpenExternalLinks(false);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    resize(640, 560);
}

bool HelpViewer::openAtContents(const QString &path) {
    QString reason;
    QByteArray bytes;
    const QFileInfo info(path);
    if (!info.exists()) {
        reason = QStringLiteral("ファイルがありません");
    } else if (info.isDir()) {
        reason = QStringLiteral("フォルダです");
    } else if (info.size() > kMaxHelpBytes) {
        reason = QStringLiteral("ファイルが大きすぎます");
    } else {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            reason = QStringLiteral("読み込めません");
        else
            bytes = file.read(kMaxHelpBytes + 1);
        if (reason.isEmpty() && bytes.size() > kMaxHelpBytes)
            reason = QStringLiteral("ファイルが大きすぎます");
    }

    auto *browser = static_cast<HelpBrowser *>(m_browser);
    if (!reason.isEmpty()) {
        browser->folder.clear();
        m_browser->setHtml(failurePage(path, reason));
        return false;
    }
    // Pictures and links in the file are found beside it, and only there.
    browser->folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    m_browser->setHtml(decodeHtml(bytes));
    m_browser->verticalScrollBar()->setValue(0);
    return true;
}

void openHelpFile(const QString &path) {
    static QPointer<HelpViewer> viewer;
    if (!viewer) viewer = new HelpViewer;
    viewer->openAtContents(path);
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
}
