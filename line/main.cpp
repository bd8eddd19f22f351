// qan640-line: the line's page, served from the line's database.

#include "line/LineServer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

namespace {

constexpr const char* kUsage =
    "Uso: qan640-line [--db CONEXÃO] [--listen ENDEREÇO:PORTA] [--dir PASTA] [--mac-warning N]\n"
    "  --db           cadeia de conexão do banco de dados da linha (sem senha; padrão: QAN640db.conf da "
    "PASTA)\n"
    "  --listen       onde servir a página (padrão 127.0.0.1:8640; atrás do proxy reverso do local)\n"
    "  --dir          pasta de QAN640db.conf e QAN640macrange.conf (padrão: a atual)\n"
    "  --mac-warning  avisar com menos endereços MAC restantes que N (padrão 500)\n";

bool SplitAddress(const std::string& strText, SLineServerConfig& config) {
    size_t colon = strText.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string strHost = strText.substr(0, colon);
    if (strHost.size() > 2 && strHost.front() == '[' && strHost.back() == ']')
        strHost = strHost.substr(1, strHost.size() - 2);
    char* pEnd = nullptr;
    long nPort = strtol(strText.c_str() + colon + 1, &pEnd, 10);
    if (strHost.empty() || *pEnd != '\0' || nPort < 1 || nPort > 65535)
        return false;
    config.strHost = strHost;
    config.nPort = int(nPort);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    SLineServerConfig config;
    std::optional<std::string> conninfo;
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        bool bValue = i + 1 < argc;
        if (strArg == "--help" || strArg == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (strArg == "--db" && bValue) {
            conninfo = argv[++i];
        } else if (strArg == "--listen" && bValue && SplitAddress(argv[i + 1], config)) {
            ++i;
        } else if (strArg == "--dir" && bValue) {
            config.strDir = argv[++i];
        } else if (strArg == "--mac-warning" && bValue && atoi(argv[i + 1]) >= 0) {
            config.nMacWarning = atoi(argv[++i]);
        } else {
            fprintf(stderr, "qan640-line: argumento inválido: %s\n%s", strArg.c_str(), kUsage);
            return 2;
        }
    }
    if (!conninfo) {
        std::string strError;
        conninfo = ReadLineDbConninfo(config.strDir, strError);
        if (!conninfo) {
            fprintf(stderr, "qan640-line: %s\n",
                    strError.empty() ? (std::string(kLineDbFileName) + " não existe: use --db").c_str()
                                     : strError.c_str());
            return 2;
        }
    }
    config.strConninfo = *conninfo;

    // The stopSignals are taken by this thread alone, so every thread started below has them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&stopSignals, nSignal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    CLineServer server(config);
    std::string strError;
    if (!server.Start(strError)) {
        fprintf(stderr, "qan640-line: %s\n", strError.c_str());
        return 1;
    }
    fprintf(stderr, "qan640-line: página em http://%s:%d/ (banco de dados: %s)\n", config.strHost.c_str(),
            server.Port(), ConninfoForDisplay(config.strConninfo).c_str());
    int nSignal = 0;
    sigwait(&stopSignals, &nSignal);
    server.Stop();
    return 0;
}
