#include "core/SystemError.h"

#include <cstring>
#include <iconv.h>
#include <langinfo.h>

std::string SystemErrorText(int nError) {
    char buffer[256];
    std::string text = strerror_r(nError, buffer, sizeof buffer);
    const char* pszCodeset = nl_langinfo(CODESET);
    if (strcmp(pszCodeset, "UTF-8") == 0 || strcmp(pszCodeset, "ANSI_X3.4-1968") == 0)
        return text;
    // A locale of another encoding (ISO-8859-1, say): its text is recoded, or kept as it is if that fails.
    iconv_t cd = iconv_open("UTF-8", pszCodeset);
    if (cd == iconv_t(-1))
        return text;
    std::string out(text.size() * 4, '\0');
    char* pIn = text.data();
    size_t nIn = text.size();
    char* pOut = out.data();
    size_t nOut = out.size();
    size_t rc = iconv(cd, &pIn, &nIn, &pOut, &nOut);
    iconv_close(cd);
    if (rc == size_t(-1))
        return text;
    out.resize(out.size() - nOut);
    return out;
}
