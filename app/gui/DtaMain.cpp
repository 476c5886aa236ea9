#include "app/gui/DtaMain.h"

#include "app/Program.h"
#include "app/gui/DialogUnits.h"

#include <QWidget>

namespace app::gui {

DtaMain::DtaMain(QWidget* parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("dtaMain"));
    setCentralWidget(new QWidget(this));
    resize(DialogUnits(font()).size(399, 125));
    PostInit();
}

void DtaMain::PostInit()
{
    const auto& list = program().CompanyList;
    program().TestFlag = list.empty() ? std::string() : list.front().testFlag;
    SetCaption();
}

void DtaMain::SetCaption()
{
    const auto& list = program().CompanyList;
    if (static_cast<std::size_t>(m_selected) < list.size()) {
        program().TestFlag = list[static_cast<std::size_t>(m_selected)].testFlag;
    }
    const char* kind = ArtUebermittlung() == "T" ? "(Testübertragung)" : "(Produktivübertragung)";
    setWindowTitle(QString::fromUtf8("Vexa-Quorvex: FON WebClient ") + QString::fromUtf8(kind));
}

} // namespace app::gui
