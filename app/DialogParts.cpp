#include "app/DialogParts.h"

#include "app/DiagnosticLog.h"
#include "resources/StringTable.h"

void CColorStatic::SetTextColor(std::uint32_t colour)
{
    m_textColour.store(colour);
    m_view.SetTextColour(m_id, colour);
}

std::string CAboutDlg::VersionLine()
{
    std::string text = LoadResourceString(IDS_ABOUT_VERSION);
    const std::size_t at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, kUtilityVersion);
    return text;
}

std::string CAboutDlg::NoticeLine()
{
    return LoadResourceString(IDS_ABOUT_NOTICE);
}
