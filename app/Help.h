#pragma once
// The operator's help page, an HTML file shown by the desktop's viewer (the default browser).

#include "app/DialogTexts.h"

#include <QString>
#include <QUrl>

#include <string>


// The help page beside the program (strAppDir ends in '/'), else the installed copy in the
// documentation directory. Empty when neither exists.
QString FindHelpPage(const std::string& strAppDir);
// The same for another program's page (the station window's).
QString FindHelpPage(const std::string& strAppDir, const char* pszPageName);

// The address that opens the page at its contents.
QUrl HelpContentsUrl(const QString& strPage);
