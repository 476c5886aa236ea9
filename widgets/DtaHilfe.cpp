#include "widgets/DtaHilfe.h"

#include "base/ChmFile.h"
#include "base/Cp1252.h"
#include "base/Dialogs.h"
#include "base/Program.h"
#include "widgets/DesktopLook.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QPointer>
#include <QShortcut>
#include <QSplitter>
#include <QStringDecoder>
#include <QStyle>
#include <QTextBrowser>
#include <QToolBar>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include <utility>
#include <vector>

namespace widgets {

//! The page view: every page, style sheet and image comes out of the help file, addressed as "chm:/<path>".
class ChmBrowser : public QTextBrowser
{
public:
    ChmBrowser(const base::ChmFile& chm, QWidget* parent)
        : QTextBrowser(parent)
        , m_chm(chm)
    {}

    QVariant loadResource(int type, const QUrl& name) override
    {
        const QUrl url = name.isRelative() ? source().resolved(name) : name;
        if (url.scheme() != QStringLiteral("chm")) {
            return {};
        }
        const auto bytes = m_chm.read(url.path(QUrl::FullyDecoded).toStdString());
        if (!bytes) {
            return {};
        }
        if (type == QTextDocument::HtmlResource || type == QTextDocument::StyleSheetResource) {
            return decode(*bytes);
        }
        return QByteArray(bytes->data(), static_cast<qsizetype>(bytes->size()));
    }

private:
    // Help pages are written in Windows-1252, as the help compiler expects, or in UTF-8; text that is not valid
    // UTF-8 is taken as Windows-1252 (Qt itself decodes no Windows-1252 without ICU).
    static QString decode(const std::string& bytes)
    {
        auto utf8 = QStringDecoder(QStringDecoder::Utf8);
        const QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
        return utf8.hasError() ? QString::fromStdString(base::cp1252ToUtf8(bytes)) : text;
    }

    const base::ChmFile& m_chm;
};

namespace {

const QString SCHEME = QStringLiteral("chm");
QPointer<DtaHilfe> theWindow;

QUrl pageUrl(const QString& local)
{
    return QUrl(SCHEME + QStringLiteral(":/")).resolved(QUrl(local));
}

QIcon themeIcon(const QWidget* widget, const char* name, QStyle::StandardPixmap fallback)
{
    return widgets::themeIcon(name, widget->style()->standardIcon(fallback));
}

// The entries in the order of the file, without recursion: the depth of a table of contents is the file's to choose.
void addTopics(QTreeWidget* tree, const std::vector<base::ChmTopic>& topics)
{
    struct Pending
    {
        QTreeWidgetItem* parent;
        const std::vector<base::ChmTopic>* topics;
        std::size_t next;
    };
    std::vector<Pending> pending{{nullptr, &topics, 0}};
    while (!pending.empty()) {
        auto& level = pending.back();
        if (level.next == level.topics->size()) {
            pending.pop_back();
            continue;
        }
        const auto& topic = (*level.topics)[level.next++];
        auto* item = level.parent ? new QTreeWidgetItem(level.parent) : new QTreeWidgetItem(tree);
        item->setText(0, QString::fromStdString(topic.title));
        item->setData(0, Qt::UserRole, QString::fromStdString(topic.local));
        if (!topic.children.empty()) {
            pending.push_back({item, &topic.children, 0});
        }
    }
}

} // namespace

DtaHilfe* DtaHilfe::open(const std::string& file, const std::string& topic)
{
    if (!theWindow || theWindow->m_file != file) {
        auto chm = std::make_unique<base::ChmFile>();
        if (!QFileInfo::exists(QString::fromStdString(file))) {
            base::dialogs().ErrorBox("Die Hilfedatei " + file + " wurde nicht gefunden.");
            return nullptr;
        }
        if (!chm->open(file) || !chm->read(chm->defaultTopic())) {
            const auto& problem = chm->problem();
            base::dialogs().ErrorBox("Die Hilfedatei " + file + " kann nicht gelesen werden."
                                     + (problem.empty() ? std::string() : " " + problem));
            return nullptr;
        }
        delete theWindow;
        theWindow = new DtaHilfe(std::move(chm), file);
    }
    if (QWidget* from = QApplication::activeWindow(); from && from != theWindow) {
        theWindow->m_returnTo = from;
    }
    if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != theWindow) {
        theWindow->keepUsableBeside(modal);
    }
    theWindow->showTopic(topic);
    // A minimised window comes back as it was before, so that the page asked for is seen.
    if (theWindow->isMinimized()) {
        theWindow->setWindowState(theWindow->windowState() & ~Qt::WindowMinimized);
    }
    theWindow->show();
    theWindow->raise();
    theWindow->activateWindow();
    return theWindow;
}

DtaHilfe* DtaHilfe::instance()
{
    return theWindow;
}

DtaHilfe::DtaHilfe(std::unique_ptr<base::ChmFile> chm, std::string file)
    : QWidget(nullptr, Qt::Window)
    , m_chm(std::move(chm))
    , m_file(std::move(file))
    , m_defaultTopic(m_chm->defaultTopic())
{
    setObjectName(QStringLiteral("dtaHilfe"));
    setWindowTitle(QStringLiteral("Vexa-Quorvex Hilfe"));
    setAttribute(Qt::WA_DeleteOnClose);
    // The help window alone does not keep the program running once the main window is closed.
    setAttribute(Qt::WA_QuitOnClose, false);
    connect(qApp, &QCoreApplication::aboutToQuit, this, &QObject::deleteLater);

    auto* bar = new QToolBar(this);
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_back = bar->addAction(themeIcon(this, "go-previous", QStyle::SP_ArrowBack), QString::fromUtf8("Zurück"));
    m_back->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Left));
    m_forward = bar->addAction(themeIcon(this, "go-next", QStyle::SP_ArrowForward), QString::fromUtf8("Vorwärts"));
    m_forward->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Right));
    auto* home = bar->addAction(themeIcon(this, "go-home", QStyle::SP_DirHomeIcon), QStringLiteral("Inhalt"));
    bar->widgetForAction(m_back)->setObjectName(QStringLiteral("pshZurueck"));
    bar->widgetForAction(m_forward)->setObjectName(QStringLiteral("pshVorwaerts"));
    bar->widgetForAction(home)->setObjectName(QStringLiteral("pshInhalt"));
    for (auto* action : {m_back, m_forward}) {
        action->setShortcutContext(Qt::WindowShortcut);
        action->setEnabled(false);
    }

    // Esc and Ctrl+W close the window, as they close other help and document windows.
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
        auto* shortcut = new QShortcut(key, this, this, &QWidget::close);
        shortcut->setContext(Qt::WindowShortcut);
    }

    m_lvwInhalt = new QTreeWidget(this);
    m_lvwInhalt->setObjectName(QStringLiteral("lvwInhalt"));
    m_lvwInhalt->setHeaderHidden(true);
    m_txtSeite = new ChmBrowser(*m_chm, this);
    m_txtSeite->setObjectName(QStringLiteral("txtSeite"));
    // Links are followed here, so that a link to the web goes to the desktop and nothing else leaves the file.
    m_txtSeite->setOpenLinks(false);

    auto* splitter = new QSplitter(this);
    splitter->addWidget(m_lvwInhalt);
    splitter->addWidget(m_txtSeite);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({250, 710});
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(bar);
    layout->addWidget(splitter, 1);
    resize(960, 680);

    fillContents();
    connect(m_back, &QAction::triggered, m_txtSeite, &QTextBrowser::backward);
    connect(m_forward, &QAction::triggered, m_txtSeite, &QTextBrowser::forward);
    connect(home, &QAction::triggered, this, [this] { showTopic({}); });
    connect(m_txtSeite, &QTextBrowser::backwardAvailable, m_back, &QAction::setEnabled);
    connect(m_txtSeite, &QTextBrowser::forwardAvailable, m_forward, &QAction::setEnabled);
    connect(m_txtSeite, &QTextBrowser::sourceChanged, this, &DtaHilfe::followPage);
    connect(m_txtSeite, &QTextBrowser::anchorClicked, this, &DtaHilfe::openLink);
    connect(m_lvwInhalt, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        const QString local = item ? item->data(0, Qt::UserRole).toString() : QString();
        if (!m_following && !local.isEmpty()) {
            openLink(pageUrl(local));
        }
    });
}

DtaHilfe::~DtaHilfe() = default;

void DtaHilfe::showTopic(const std::string& topic)
{
    std::string name = topic.substr(0, topic.find('#'));
    const std::string anchor = name.size() < topic.size() ? topic.substr(name.size() + 1) : std::string();
    if (!name.empty() && name != "HelpContents" && name.find('.') == std::string::npos) {
        name += ".htm";
    }
    QString local = QString::fromStdString(m_defaultTopic);
    if (!name.empty() && name != "HelpContents" && m_chm->contains(name)) {
        local = QString::fromStdString(name);
        if (!anchor.empty()) {
            local += QLatin1Char('#') + QString::fromStdString(anchor);
        }
    }
    m_txtSeite->setSource(pageUrl(local));
}

QUrl DtaHilfe::page() const
{
    return m_txtSeite->source();
}

void DtaHilfe::fillContents()
{
    addTopics(m_lvwInhalt, m_chm->contents());
    m_lvwInhalt->expandAll();
}

void DtaHilfe::followPage(const QUrl& url)
{
    // The entry of the page and its anchor, else the entry of the page itself, else any entry on the page.
    QTreeWidgetItem* best = nullptr;
    int bestRank = 0;
    for (QTreeWidgetItemIterator it(m_lvwInhalt); *it; ++it) {
        const QUrl local = pageUrl((*it)->data(0, Qt::UserRole).toString());
        if (local.path().compare(url.path(), Qt::CaseInsensitive) != 0) {
            continue;
        }
        const int rank = local.fragment() == url.fragment() ? 3 : local.fragment().isEmpty() ? 2 : 1;
        if (rank > bestRank) {
            best = *it;
            bestRank = rank;
        }
    }
    m_following = true;
    m_lvwInhalt->setCurrentItem(best);
    if (best) {
        m_lvwInhalt->scrollToItem(best);
    }
    m_following = false;
}

void DtaHilfe::openLink(const QUrl& url)
{
    const QUrl target = url.isRelative() ? m_txtSeite->source().resolved(url) : url;
    const QString scheme = target.scheme().toLower();
    if (scheme == QStringLiteral("http") || scheme == QStringLiteral("https") || scheme == QStringLiteral("mailto")) {
        QDesktopServices::openUrl(target);
    } else if (scheme == SCHEME) {
        m_txtSeite->setSource(target);
    }
}

void DtaHilfe::keepUsableBeside(QWidget* modal)
{
    // A window of the modal dialog is not blocked by it; when the dialog closes, the help window stays open alone.
    if (parentWidget() == modal) {
        return;
    }
    const QRect frame = geometry();
    const bool placed = isVisible();
    setParent(modal, Qt::Window);
    if (placed) {
        setGeometry(frame);
    }
    modal->installEventFilter(this);
}

bool DtaHilfe::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::Hide) {
        watched->removeEventFilter(this);
        const QRect frame = geometry();
        setParent(nullptr, Qt::Window);
        setGeometry(frame);
        show();
    }
    return QWidget::eventFilter(watched, event);
}

void DtaHilfe::closeEvent(QCloseEvent* event)
{
    // Closed with the keyboard, the window hands it back to the window it was asked for from (a modal dialog
    // first): without a window manager nobody else would, and the keys would go nowhere.
    if (isActiveWindow()) {
        QWidget* back = QApplication::activeModalWidget();
        if (!back || back == this) {
            back = m_returnTo;
        }
        if (back && back != this && back->isVisible()) {
            back->activateWindow();
        }
    }
    QWidget::closeEvent(event);
}

std::string helpFile()
{
    return base::program().DefaultDir + "Quorvex.CHM";
}

void installHelpKey(QWidget* window, const std::string& topic)
{
    auto* key = new QShortcut(QKeySequence(Qt::Key_F1), window);
    key->setContext(Qt::WindowShortcut);
    QObject::connect(key, &QShortcut::activated, window, [topic] { base::dialogs().ShowHelp(helpFile(), topic); });
}

} // namespace widgets
