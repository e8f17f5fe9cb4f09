#include "app/Help.h"

#include <QDir>
#include <QFileInfo>

#ifndef MORFW_HELP_INSTALL_REL
#define MORFW_HELP_INSTALL_REL "../share/doc/MorFWUpload"
#endif

QString FindHelpPage(const std::string& strAppDir) {
    return FindHelpPage(strAppDir, HELP_PAGE_NAME);
}

QString FindHelpPage(const std::string& strAppDir, const char* pszPageName) {
    const QString strDir = QString::fromStdString(strAppDir);
    const QString candidates[] = {
        strDir + QLatin1String(pszPageName),
        strDir + QLatin1String(MORFW_HELP_INSTALL_REL "/") + QLatin1String(pszPageName),
    };
    for (const QString& strPath : candidates) {
        const QFileInfo fi(strPath);
        if (fi.isFile())
            return QDir::cleanPath(fi.absoluteFilePath());
    }
    return QString();
}

QUrl HelpContentsUrl(const QString& strPage) {
    QUrl url = QUrl::fromLocalFile(strPage);
    url.setFragment(QStringLiteral("contents"));
    return url;
}
