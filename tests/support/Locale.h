#pragma once

#include <QTemporaryDir>
#include <clocale>
#include <cstdlib>
#include <string>

// A locale of the operator's language for a test, built with localedef into a folder of the test's own
// (the machine need not have it). Use() switches this process to it until the object goes; a child program
// runs in it with LOCPATH=Folder() and LC_ALL=Name(). Ready() is false when the locale cannot be built (no
// localedef or no locale sources): the test skips then.
class CTestLocale {
public:
    explicit CTestLocale(std::string strName = "pt_BR.UTF-8") : m_strName(std::move(strName)) {
        // "pt_BR.ISO-8859-1": the pt_BR sources in that character set.
        size_t dot = m_strName.find('.');
        std::string strSource = m_strName.substr(0, dot);
        std::string strCharset = dot == std::string::npos ? "UTF-8" : m_strName.substr(dot + 1);
        std::string strCommand = "localedef -i " + strSource + " -f " + strCharset + " " + Folder() + "/" +
                                 m_strName + " >/dev/null 2>&1";
        m_bReady = m_dir.isValid() && system(strCommand.c_str()) == 0;
    }
    ~CTestLocale() {
        if (!m_strPrevious.empty())
            setlocale(LC_ALL, m_strPrevious.c_str());
    }
    CTestLocale(const CTestLocale&) = delete;
    CTestLocale& operator=(const CTestLocale&) = delete;

    bool Ready() const { return m_bReady; }
    std::string Folder() const { return m_dir.path().toStdString(); }
    const std::string& Name() const { return m_strName; }

    // This process in the locale (LOCPATH is read when a locale is loaded, so it is set only for that).
    bool Use() {
        const char* pszPrevious = setlocale(LC_ALL, nullptr);
        m_strPrevious = pszPrevious ? pszPrevious : "C";
        setenv("LOCPATH", Folder().c_str(), 1);
        bool bSet = setlocale(LC_ALL, m_strName.c_str()) != nullptr;
        unsetenv("LOCPATH");
        return bSet;
    }

private:
    QTemporaryDir m_dir;
    std::string m_strName;
    std::string m_strPrevious;
    bool m_bReady = false;
};
